#!/usr/bin/python3
"""Runs hiddfu's main job against an emulated CSR HID DFU device (umockdev, no hardware):
list the devices, update the device from a DFU file, back it up, describe the backup.
The commands go to standard error, hiddfu's own output to standard output as it comes.

    tools/emulate.py [path/to/hiddfu]"""

import os
import sys
import tempfile

PRELOAD = 'libumockdev-preload.so.0'
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'blackbox'))

if PRELOAD not in os.environ.get('LD_PRELOAD', ''):
    # The testbed's udev events only reach the emulated /sys from under the preload library.
    os.execve(sys.executable, [sys.executable] + sys.argv, dict(os.environ, LD_PRELOAD=PRELOAD))

from csr_model import CsrDfuModel, HidInterface, UsbDevice, csr_firmware, csr_report_descriptor  # noqa: E402
from dfu_file import dfu_bytes  # noqa: E402
from harness import Harness  # noqa: E402


def main():
    binary = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
    h = Harness(binary)
    failed = False
    try:
        h.plug(UsbDevice(1, [], 0x1D6B, 0x0002, 0x0601, 'Linux xhci-hcd', 'xHCI Host Controller',
                         '0000:00:14.0', device_class=9))
        h.plug(UsbDevice(1, [2], 0x05E3, 0x0608, 0x6060, None, 'USB2.0 Hub', None, device_class=9))
        model = CsrDfuModel(csr_firmware(40000, seed=3))
        device = h.plug(UsbDevice(1, [2, 3], 0x0A12, 0x1004, 0x0100, 'Cambridge Silicon Radio',
                                  'CSR DFU Widget', 'CSR0001',
                                  interfaces=[HidInterface(csr_report_descriptor(), model)]))
        with tempfile.TemporaryDirectory() as directory:
            update = os.path.join(directory, 'update.dfu')
            with open(update, 'wb') as f:
                f.write(dfu_bytes(csr_firmware(20000, seed=11), device.vid, device.pid, 0x0200))
            backup = os.path.join(directory, 'backup.dfu')
            for args in (['devices'], ['update', device.identifier, update],
                         ['backup', device.identifier, backup], ['dfufile', backup]):
                print('$ hiddfu %s' % ' '.join(args), file=sys.stderr, flush=True)
                process = h.start(*args)
                while True:
                    line = process.readline(timeout=120)
                    if line is None:
                        break
                    print(line, flush=True)
                failed |= process.wait() != 0
                sys.stderr.write(process.stderr)
                # Let the device come back from the reset that ends a transfer.
                h.iterate_until(lambda: not h.reenumerating, 10, 're-enumeration')
        for error in h.errors:
            print('emulation fault: %s' % error, file=sys.stderr)
        failed |= bool(h.errors)
    finally:
        h.close()
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
