// A test fixture with an emulated HID bus installed as the backend and one CSR HID DFU device
// attached, and helpers for waiting on conditions without tight timing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/emulated/csr_device.h"
#include "platform/emulated/hid_emulated.h"

namespace kel {
namespace testing {

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

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class EmulatedHidTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t kLocation = 0x01200000;
    static constexpr std::uint16_t kVendor = 0x0A12;
    static constexpr std::uint16_t kProduct = 0x1004;

    void SetUp() override
    {
        m_scope = std::make_unique<platform::ScopedHidBackend>(m_bus);
        m_device = attachCsr(config());
    }
    void TearDown() override { m_scope.reset(); }

    static platform::EmulatedCsrDevice::Config config()
    {
        platform::EmulatedCsrDevice::Config config;
        config.vendorId = kVendor;
        config.productId = kProduct;
        config.versionNumber = 0x0321;
        config.locationId = kLocation;
        config.maxFeatureReportSize = 1023;
        config.maxInputReportSize = 64;
        config.maxOutputReportSize = 64;
        return config;
    }

    std::shared_ptr<platform::EmulatedCsrDevice> attachCsr(const platform::EmulatedCsrDevice::Config& config)
    {
        auto device = std::make_shared<platform::EmulatedCsrDevice>(config);
        m_bus.attach(device);
        return device;
    }

    platform::EmulatedHidBus m_bus;
    std::unique_ptr<platform::ScopedHidBackend> m_scope;
    std::shared_ptr<platform::EmulatedCsrDevice> m_device;
};

}  // namespace testing
}  // namespace kel
