// Makes the Linux backend the platform's default one.
#include "platform/hid.h"
#include "platform/linux/hid_linux.h"
#include "platform/linux/usb_linux.h"
#include "platform/usb.h"

namespace kel {
namespace platform {

HidBackend& defaultHidBackend()
{
    return linuxHidBackend();
}

UsbBackend& defaultUsbBackend()
{
    return linuxUsbBackend();
}

}  // namespace platform
}  // namespace kel
