#include "kel_arkcommand.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <system_error>

#include "lib/kel_csrhiddfu.h"
#include "lib/kel_dfufirmware.h"
#include "lib/kel_hidengine.h"
#include "lib/kel_usbdiscovery.h"
#include "lib/kel_usbidentifier.h"
#include "platform/hid.h"

namespace kel {

// ---------------------------------------------------------------------------------------------
// JSON documents

JSONRoot::JSONRoot() : m_root(json_object()), m_writeFailed(false)
{
    assert(m_root);
}

JSONRoot::~JSONRoot()
{
    json_decref(m_root);
    m_root = nullptr;
}

bool JSONRoot::write(FILE* stream)
{
    if (m_writeFailed)
        return false;
    // Flushed even after a failure, so that no part of the line is left to appear at exit.
    int error = 0;
    if (json_dumpf(m_root, stream, 0) != 0)
        error = errno;
    if (std::fputs("\n", stream) == EOF)
        error = errno;
    if (std::fflush(stream) != 0)
        error = errno;
    if (error == 0 && !std::ferror(stream))
        return true;
    m_writeFailed = true;
    std::fprintf(stderr, "Can't write the JSON document: %s\n", std::strerror(error != 0 ? error : EIO));
    return false;
}

JSONVersion::JSONVersion()
{
    json_t* version = json_object();
    assert(version);
    json_object_set_new(version, "major", json_integer(kVersionMajor));
    json_object_set_new(version, "minor", json_integer(kVersionMinor));
    json_object_set_new(version, "qualifier", json_string(kVersionQualifier));
    json_object_set_new(m_root, "version", version);
}

JSONDevices::JSONDevices() : m_deviceArray(json_array())
{
    assert(m_deviceArray);
    json_object_set_new(m_root, "devices", m_deviceArray);
}

// A null pointer becomes JSON null; a string that is not UTF-8 yields null from json_string,
// which json_object_set_new rejects, so its key is left out.
static json_t* kel_JsonStringOrNull(const char* text)
{
    return text ? json_string(text) : json_null();
}

JSONControl::JSONControl(const char* name) : m_jsonStatus(json_array()), m_failed(false)
{
    assert(m_jsonStatus);
    json_object_set_new(m_root, name, m_jsonStatus);
}

void JSONControl::addEntry(const char* request, const char* response, const char* error)
{
    json_t* entry = json_object();
    json_object_set_new(entry, "request", kel_JsonStringOrNull(request));
    json_object_set_new(entry, "response", kel_JsonStringOrNull(response));
    json_object_set_new(entry, "error", kel_JsonStringOrNull(error));
    json_array_append_new(m_jsonStatus, entry);
    if (error)
        m_failed = true;
}

JSONTransfer::JSONTransfer(const char* identifier, const char* name) : m_jsonStatus(json_object()), m_failed(false)
{
    assert(m_jsonStatus);
    json_object_set_new(m_root, name, m_jsonStatus);
    setIdentifier(identifier);
    setProgress(0.0);
    setState(kStateStarting, nullptr);
    json_object_set_new(m_jsonStatus, "error", json_null());
}

void JSONTransfer::setIdentifier(const char* identifier)
{
    json_object_set_new(m_jsonStatus, "identifier", json_string(identifier));
}

void JSONTransfer::setProgress(double percent)
{
    json_object_set_new(m_jsonStatus, "progress", json_real(percent));
}

void JSONTransfer::setState(State state, const char* error)
{
    json_object_set_new(m_jsonStatus, "state", json_integer(state));
    if (state == kStateFailed) {
        json_object_set_new(m_jsonStatus, "error", json_string(error ? error : "Unknown error"));
        m_failed = true;
    } else {
        json_object_set_new(m_jsonStatus, "error", json_null());
    }
}

// ---------------------------------------------------------------------------------------------
// version

bool ark_CommandVersion()
{
    JSONVersion version;
    return version.write(stdout);
}

// ---------------------------------------------------------------------------------------------
// devices, monitor

void JSONDevices::updateDeviceList(UsbDiscovery& discovery)
{
    std::list<UsbIdentifier> identifiers;
    discovery.getDevices(identifiers);
    for (const UsbIdentifier& identifier : identifiers) {
        // A device gone meanwhile keeps its entry, filled from the cleared record.
        UsbDiscovery::DeviceInfo info;
        (void)discovery.getDeviceInfo(info, identifier);
        json_t* entry = json_object();
        assert(entry);
        json_object_set_new(entry, "identifier", json_string(identifier.string().c_str()));
        json_object_set_new(entry, "idVendor", json_integer(identifier.idVendor()));
        json_object_set_new(entry, "idProduct", json_integer(identifier.idProduct()));
        json_object_set_new(entry, "bcdDevice", json_integer(info.bcdDevice));
        json_object_set_new(entry, "manufacturer", json_string(info.manufacturer.c_str()));
        json_object_set_new(entry, "product", json_string(info.product.c_str()));
        json_object_set_new(entry, "serial", json_string(info.serial.c_str()));
        json_object_set_new(entry, "name", json_string(info.name.c_str()));
        json_array_append_new(m_deviceArray, entry);
    }
}

namespace {

bool listOrMonitorDevices(unsigned short idVendor, unsigned short idProduct, bool monitor)
{
    UsbDiscovery discovery;
    if (idVendor != 0 && idProduct != 0)
        discovery.setFilter(idVendor, idProduct);
    else if (idVendor != 0)
        discovery.setFilter(idVendor);

    if (!monitor) {
        // An empty list would claim that no device is attached; the reason is on standard error.
        if (!discovery.start())
            return false;
        JSONDevices devices;
        devices.updateDeviceList(discovery);
        discovery.stop();
        return devices.write(stdout);
    }

    // A monitor that can hear of no change would run on silently for ever; the reason is
    // already on standard error. One whose lines no longer reach the reader ends at once.
    bool written = true;
    if (!discovery.start([&written](UsbDiscovery& changed) {
            if (!written)
                return;  // a change queued behind the failed one
            JSONDevices devices;
            devices.updateDeviceList(changed);
            if (!devices.write(stdout)) {
                written = false;
                platform::RunLoop::main()->stop();
            }
        }))
        return false;
    platform::RunLoop::main()->run();
    discovery.stop();  // no block runs after this, so none sees `written` gone
    return written;
}

}  // namespace

bool ark_CommandDevices(unsigned short idVendor, unsigned short idProduct, bool monitor)
{
    try {
        return listOrMonitorDevices(idVendor, idProduct, monitor);
    } catch (const std::system_error& error) {
        // A run loop or its thread could not be made, with descriptors exhausted for example.
        std::fprintf(stderr, "Can't start USB discovery: %s\n", error.what());
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// backup, update, reset

namespace {

void transferProgressCallback(void* context, double percent, CsrHidDfu::Activity activity)
{
    auto* transferState = static_cast<JSONTransfer*>(context);
    switch (activity) {
    case CsrHidDfu::kActivityReading:
        transferState->setState(JSONTransfer::kStateReading, nullptr);
        break;
    case CsrHidDfu::kActivityWriting:
        transferState->setState(JSONTransfer::kStateWriting, nullptr);
        break;
    case CsrHidDfu::kActivityCompleting:
        transferState->setState(JSONTransfer::kStateCompleting, nullptr);
        break;
    default:
        break;
    }
    transferState->setProgress(percent);
    // A document the reader did not get fails the command at its end, once the device has
    // been seen through the transfer and its reset.
    (void)transferState->write(stdout);
}

// A reader that goes away in the middle of a transfer must not end the tool with the device
// half-written: SIGPIPE is held back until the transfer, its reset and its last document are
// done, and then ends the process as it would have.
class SigpipeDeferral {
public:
    SigpipeDeferral()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &m_previous);
    }
    ~SigpipeDeferral() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    SigpipeDeferral(const SigpipeDeferral&) = delete;
    SigpipeDeferral& operator=(const SigpipeDeferral&) = delete;

private:
    sigset_t m_previous;
};

// Tells a device that is not attached from one that is but could not be opened, by the
// matching the engine's open uses.
bool kel_HidDevicePresent(const UsbIdentifier& identifier)
{
    const std::unique_ptr<platform::HidManager> manager = platform::hidBackend().createManager();
    if (!manager)
        return false;
    platform::HidMatching matching{{platform::kHidLocationIdKey, identifier.locationId()}};
    if (identifier.idVendor() != 0)
        matching[platform::kHidVendorIdKey] = identifier.idVendor();
    if (identifier.idProduct() != 0)
        matching[platform::kHidProductIdKey] = identifier.idProduct();
    manager->setDeviceMatching(matching);
    return manager->open() == kIOReturnSuccess && !manager->copyDevices().empty();
}

}  // namespace

bool ark_CommandBackup(const char* identifier, const char* path)
{
    const SigpipeDeferral sigpipe;  // outlives the device and the document
    UsbIdentifier usbIdentifier;
    CsrHidDfu dfu;
    DfuFirmware firmware;
    JSONTransfer transferState(identifier, "transfer");

    dfu.setProgressCallback(&transferProgressCallback, &transferState);
    if (!usbIdentifier.initFromString(identifier)) {
        transferState.setState(JSONTransfer::kStateFailed, "Invalid device identifier");
    } else if (!DfuFirmware::canSave(path)) {
        // Found before the device is opened: reading it all only to fail would be in vain, and
        // a device never opened needs no reset.
        std::fprintf(stderr, "backup: cannot write %s: %s\n", path, std::strerror(errno));
        transferState.setState(JSONTransfer::kStateFailed, "Unable to write to backup file");
    } else if (!dfu.connect(usbIdentifier, 0, 0, 0)) {
        transferState.setState(JSONTransfer::kStateFailed, "Unable to connect to device");
    } else if (!dfu.backup(firmware)) {
        transferState.setState(JSONTransfer::kStateFailed, "Error reading firmware from device");
    } else if (!firmware.save(path)) {
        transferState.setState(JSONTransfer::kStateFailed, "Unable to write to backup file");
    } else {
        assert(!transferState.didFail());
        transferState.setState(JSONTransfer::kStateDone, nullptr);
    }
    dfu.clearProgressCallback();
    dfu.reset();
    const bool written = transferState.write(stdout);
    return written && !transferState.didFail();
}

bool ark_CommandUpdate(const char* identifier, const char* path)
{
    const SigpipeDeferral sigpipe;  // outlives the device and the document
    UsbIdentifier usbIdentifier;
    CsrHidDfu dfu;
    DfuFirmware firmware;
    JSONTransfer transferState(identifier, "transfer");

    dfu.setProgressCallback(&transferProgressCallback, &transferState);
    // The file is loaded and matched before the device is opened: a wrong file never reaches it.
    if (!usbIdentifier.initFromString(identifier)) {
        transferState.setState(JSONTransfer::kStateFailed, "Invalid device identifier");
    } else if (std::string reason; !firmware.load(path, false, &reason)) {
        std::fprintf(stderr, "update: invalid DFU file %s: %s\n", path, reason.c_str());
        transferState.setState(JSONTransfer::kStateFailed, "Unable to load firmware file");
    } else if (firmware.idVendor() != usbIdentifier.idVendor() || firmware.idProduct() != usbIdentifier.idProduct()) {
        std::fprintf(stderr, "update: the file is for %04x:%04x, the device identifier names %04x:%04x\n",
                     firmware.idVendor(), firmware.idProduct(), usbIdentifier.idVendor(), usbIdentifier.idProduct());
        transferState.setState(JSONTransfer::kStateFailed, "Firmware file not valid for the target device");
    } else if (!dfu.connect(usbIdentifier, 0, 0, 0)) {
        transferState.setState(JSONTransfer::kStateFailed, "Unable to connect to device");
    } else if (!dfu.update(firmware, false)) {
        transferState.setState(JSONTransfer::kStateFailed, "Error updating device");
    } else {
        assert(!transferState.didFail());
        transferState.setState(JSONTransfer::kStateDone, nullptr);
    }
    dfu.clearProgressCallback();
    dfu.reset();
    const bool written = transferState.write(stdout);
    return written && !transferState.didFail();
}

bool ark_CommandReset(const char* identifier)
{
    UsbIdentifier usbIdentifier;
    CsrHidDfu dfu;
    if (!usbIdentifier.initFromString(identifier)) {
        std::fprintf(stderr, "reset: invalid device identifier %s\n", identifier);
        return false;
    }
    if (!dfu.connect(usbIdentifier, 0, 0, 0)) {
        const char* why = kel_HidDevicePresent(usbIdentifier) ? "unable to open device" : "no such device";
        std::fprintf(stderr, "reset: %s %s\n", why, identifier);
        return false;
    }
    return dfu.reset();  // which names its own failure
}

// ---------------------------------------------------------------------------------------------
// set, get

bool ark_CommandControl(const char* identifier, const std::vector<std::string>& names, bool get)
{
    UsbIdentifier usbIdentifier;
    HidEngine engine;
    JSONControl control("control");

    if (!usbIdentifier.initFromString(identifier)) {
        for (const std::string& name : names)
            control.addEntry(name.c_str(), nullptr, "Invalid device identifier");
    } else if (!engine.open(usbIdentifier, 0, 0, 0)) {
        for (const std::string& name : names)
            control.addEntry(name.c_str(), nullptr, "Unable to connect to device");
    } else {
        for (const std::string& name : names) {
            // One byte for the report ID, one for the terminating zero.
            const std::size_t reportSize = engine.maxOutputReportSize();
            if (reportSize < name.size() + 2) {
                control.addEntry(name.c_str(), nullptr, "Request too long");
                continue;
            }
            std::vector<std::uint8_t> request(reportSize, 0);
            request[0] = 1;
            std::copy(name.begin(), name.end(), request.begin() + 1);
            std::vector<std::uint8_t> response(engine.maxInputReportSize(), 0);

            const bool sent = engine.setReport(1, request, false);
            const bool received = get && sent && engine.asyncGetNextReport(1, response, 200);
            response.push_back(0);

            if (!sent) {
                control.addEntry(name.c_str(), nullptr, "Error writing to device");
            } else if (get && !received) {
                control.addEntry(name.c_str(), nullptr, "Error reading from device");
            } else {
                const char* text = response.size() < 2 ? "" : reinterpret_cast<const char*>(response.data() + 1);
                control.addEntry(name.c_str(), text, nullptr);
            }
        }
    }
    const bool written = control.write(stdout);
    return written && !control.didFail();
}

}  // namespace kel
