#include "kel_arkcommand.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <list>
#include <system_error>

#include "lib/kel_csrhiddfu.h"
#include "lib/kel_dfufirmware.h"
#include "lib/kel_hidengine.h"
#include "lib/kel_usbdiscovery.h"
#include "lib/kel_usbidentifier.h"
#include "kel_version.h"

namespace kel {

// ---------------------------------------------------------------------------------------------
// JSON documents

JSONRoot::JSONRoot() : m_root(json_object())
{
    assert(m_root);
}

JSONRoot::~JSONRoot()
{
    json_decref(m_root);
    m_root = nullptr;
}

void JSONRoot::write(FILE* stream)
{
    json_dumpf(m_root, stream, 0);
    std::fputs("\n", stream);
    std::fflush(stream);
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
    version.write(stdout);
    return true;
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
        JSONDevices devices;
        (void)discovery.start();
        devices.updateDeviceList(discovery);
        discovery.stop();
        devices.write(stdout);
        return true;
    }

    // A monitor that can hear of no change would run on silently for ever; the reason is
    // already on standard error.
    if (!discovery.start([](UsbDiscovery& changed) {
            JSONDevices devices;
            devices.updateDeviceList(changed);
            devices.write(stdout);
        }))
        return false;
    platform::RunLoop::main()->run();
    return true;
}

}  // namespace

bool ark_CommandDevices(unsigned short idVendor, unsigned short idProduct, bool monitor)
{
    try {
        return listOrMonitorDevices(idVendor, idProduct, monitor);
    } catch (const std::system_error& error) {
        // A run loop or its thread could not be made, with descriptors exhausted for example.
        std::fprintf(stderr, "Can't start USB discovery: %s\n", error.what());
        if (monitor)
            return false;
        JSONDevices devices;
        devices.write(stdout);
        return true;
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
    transferState->write(stdout);
}

}  // namespace

bool ark_CommandBackup(const char* identifier, const char* path)
{
    UsbIdentifier usbIdentifier;
    CsrHidDfu dfu;
    DfuFirmware firmware;
    JSONTransfer transferState(identifier, "transfer");

    dfu.setProgressCallback(&transferProgressCallback, &transferState);
    if (!usbIdentifier.initFromString(identifier)) {
        transferState.setState(JSONTransfer::kStateFailed, "Invalid device identifier");
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
    transferState.write(stdout);
    return !transferState.didFail();
}

bool ark_CommandUpdate(const char* identifier, const char* path)
{
    UsbIdentifier usbIdentifier;
    CsrHidDfu dfu;
    DfuFirmware firmware;
    JSONTransfer transferState(identifier, "transfer");

    dfu.setProgressCallback(&transferProgressCallback, &transferState);
    // The file is loaded and matched before the device is opened: a wrong file never reaches it.
    if (!usbIdentifier.initFromString(identifier)) {
        transferState.setState(JSONTransfer::kStateFailed, "Invalid device identifier");
    } else if (!firmware.load(path, false)) {
        transferState.setState(JSONTransfer::kStateFailed, "Unable to load firmware file");
    } else if (firmware.idVendor() != usbIdentifier.idVendor() || firmware.idProduct() != usbIdentifier.idProduct()) {
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
    transferState.write(stdout);
    return !transferState.didFail();
}

bool ark_CommandReset(const char* identifier)
{
    UsbIdentifier usbIdentifier;
    CsrHidDfu dfu;
    return usbIdentifier.initFromString(identifier) && dfu.connect(usbIdentifier, 0, 0, 0) && dfu.reset();
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
    control.write(stdout);
    return !control.didFail();
}

}  // namespace kel
