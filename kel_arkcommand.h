// The command functions behind the action words and the JSON documents they print.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <jansson.h>

#include "kel_version.h"  // the version document and --version both print it

namespace kel {

class UsbDiscovery;

bool ark_CommandVersion();
bool ark_CommandDevices(unsigned short idVendor, unsigned short idProduct, bool monitor);
bool ark_CommandBackup(const char* identifier, const char* path);
bool ark_CommandUpdate(const char* identifier, const char* path);
bool ark_CommandControl(const char* identifier, const std::vector<std::string>& names, bool get);
bool ark_CommandReset(const char* identifier);

// A document owns one JSON tree and prints it whole, on one line, on every write().
// A write the stream refused is reported once on standard error; the document then writes no
// more, since its reader has lost track of the stream, and every later write() fails too.
class JSONRoot {
public:
    JSONRoot();
    virtual ~JSONRoot();
    JSONRoot(const JSONRoot&) = delete;
    JSONRoot& operator=(const JSONRoot&) = delete;

    json_t* root() { return m_root; }
    bool write(FILE* stream);

protected:
    json_t* m_root;

private:
    bool m_writeFailed;
};

class JSONVersion : public JSONRoot {
public:
    JSONVersion();
    ~JSONVersion() override = default;
};

class JSONDevices : public JSONRoot {
public:
    JSONDevices();
    ~JSONDevices() override = default;

    void updateDeviceList(UsbDiscovery& discovery);

private:
    json_t* m_deviceArray;  // owned by m_root
};

class JSONControl : public JSONRoot {
public:
    explicit JSONControl(const char* name);
    ~JSONControl() override = default;

    void addEntry(const char* request, const char* response, const char* error);
    bool didFail() const { return m_failed; }

private:
    json_t* m_jsonStatus;  // owned by m_root
    bool m_failed;
};

class JSONTransfer : public JSONRoot {
public:
    enum State {
        kStateFailed = -1,
        kStateDone = 0,
        kStateStarting = 1,
        kStateReading = 2,
        kStateWriting = 3,
        kStateCompleting = 4,
    };

    JSONTransfer(const char* identifier, const char* name);
    ~JSONTransfer() override = default;

    void setIdentifier(const char* identifier);
    void setProgress(double percent);
    void setState(State state, const char* error);
    bool didFail() const { return m_failed; }

private:
    json_t* m_jsonStatus;  // owned by m_root
    bool m_failed;
};

}  // namespace kel
