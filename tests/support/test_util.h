// Helpers shared by the unit tests: a temporary directory, waiting for a condition, and a
// thread running its own run loop.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <system_error>
#include <thread>

#include <unistd.h>

#include "platform/runloop.h"

namespace kel {
namespace testing {

// A fresh directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "hiddfu-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Polls `condition` for up to `seconds`; generous limits keep loaded machines from failing.
inline bool eventually(const std::function<bool()>& condition, double seconds = 10.0)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A thread that runs its loop until stopped; a source keeps the loop from finishing for want of
// sources.
class LoopThread {
public:
    LoopThread()
    {
        std::promise<platform::RunLoop*> started;
        m_thread = std::thread([&started] {
            platform::RunLoop* loop = platform::RunLoop::current();
            loop->addSource(platform::RunLoopSource::create(nullptr, [](void*) {}));
            started.set_value(loop);
            loop->run();
        });
        m_loop = started.get_future().get();
    }
    ~LoopThread()
    {
        m_loop->stop();
        m_thread.join();
    }
    platform::RunLoop* loop() const { return m_loop; }
    std::thread::id id() const { return m_thread.get_id(); }

private:
    std::thread m_thread;
    platform::RunLoop* m_loop = nullptr;
};

}  // namespace testing
}  // namespace kel
