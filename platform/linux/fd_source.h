// The Linux run loop's second kind of source: a file descriptor (a hidraw node, the USB event
// monitor) that calls back on the loop's thread while it is readable or hung up.
#pragma once

#include <memory>

namespace kel {
namespace platform {

class RunLoop;

// Level-triggered: the callback must read, or remove the source once the fd has hung up. The
// source does not own the fd.
class FdSource {
public:
    enum Events : unsigned { kReadable = 1u, kHangUp = 2u, kError = 4u };
    using Callback = void (*)(void* info, int fd, unsigned events);

    // Null when the source cannot be made.
    static std::shared_ptr<FdSource> create(int fd, void* info, Callback callback);

    ~FdSource();
    FdSource(const FdSource&) = delete;
    FdSource& operator=(const FdSource&) = delete;

    int fd() const;
    // Removes the source from every loop; the callback is never called again. Any thread.
    void invalidate();
    bool isValid() const;

    struct State;

private:
    explicit FdSource(std::unique_ptr<State> state);
    friend void addFdSource(RunLoop* loop, const std::shared_ptr<FdSource>& source);
    friend void removeFdSource(RunLoop* loop, const std::shared_ptr<FdSource>& source);
    std::unique_ptr<State> m_state;
};

// Any thread, as for version-0 sources: adding a source twice, or removing one that is not
// there, does nothing; removal waits for a callback running on another thread.
void addFdSource(RunLoop* loop, const std::shared_ptr<FdSource>& source);
void removeFdSource(RunLoop* loop, const std::shared_ptr<FdSource>& source);

}  // namespace platform
}  // namespace kel
