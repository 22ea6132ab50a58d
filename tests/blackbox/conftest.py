"""Fixtures of the black-box suite: a harness with a typical USB tree, and checks that every
prerequisite is there. A missing prerequisite stops the run with a message; nothing is skipped."""

import ctypes
import os
import sys
import types
import warnings

import pytest

# PyGObject's importer trips this warning on every gi.repository import under pytest.
warnings.filterwarnings('ignore', category=ImportWarning)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

PRELOAD = 'libumockdev-preload.so.0'


def _missing_prerequisite():
    try:
        from harness import default_binary  # needs umockdev's Python binding
    except (ImportError, ValueError) as error:
        return ('umockdev for Python is missing (%s); install the Debian packages umockdev gir1.2-umockdev-1.0 '
                'python3-gi (tools/install-deps.sh) and run with /usr/bin/python3' % error)
    try:
        ctypes.CDLL(PRELOAD)
    except OSError:
        return '%s is missing; install the Debian package libumockdev0' % PRELOAD
    if not os.access(default_binary(), os.X_OK):
        return 'hiddfu binary %s is missing; build it (cmake --build build/plain) or set HIDDFU_BINARY' % \
            default_binary()
    return None


def pytest_configure(config):
    problem = _missing_prerequisite()
    if problem:
        raise pytest.UsageError('black-box tests cannot run: ' + problem)
    if PRELOAD not in os.environ.get('LD_PRELOAD', ''):
        # The testbed sends udev events through libudev in this process, which only reaches
        # the emulated /sys under the preload library: restart pytest with it.
        capture = config.pluginmanager.getplugin('capturemanager')
        if capture is not None:
            capture.stop_global_capturing()
        os.execve(sys.executable, [sys.executable] + sys.orig_argv[1:], dict(os.environ, LD_PRELOAD=PRELOAD))


@pytest.fixture(scope='session', autouse=True)
def testbed_folders_are_removed():
    """No /tmp/umockdev.* folder of this run is left behind. Only its own are looked at: other
    suites may be running meanwhile."""
    from harness import Harness
    yield
    left = [root for root in Harness.roots if os.path.exists(root)]
    assert not left, 'testbed folders left behind: %s' % left


@pytest.fixture
def harness():
    from harness import Harness
    h = Harness()
    yield h
    try:
        assert not h.errors, 'device model faults: %s' % h.errors
    finally:
        h.close()


@pytest.fixture
def tree(harness):
    """A realistic bus: two root hubs, a hub, a CSR HID DFU device behind the hub, a composite
    keyboard with two HID interfaces and strings outside ASCII, devices without strings."""
    from csr_model import (CsrDfuModel, HidInterface, UsbDevice, csr_firmware,
                           csr_report_descriptor, keyboard_report_descriptor)
    t = types.SimpleNamespace(harness=harness)
    t.root1 = harness.plug(UsbDevice(1, [], 0x1D6B, 0x0002, 0x0601, 'Linux 6.1.0 xhci-hcd', 'xHCI Host Controller',
                                     '0000:00:14.0', device_class=9))
    t.root2 = harness.plug(UsbDevice(2, [], 0x1D6B, 0x0003, 0x0601, 'Linux 6.1.0 xhci-hcd', 'xHCI Host Controller',
                                     '0000:00:14.1', device_class=9, speed='5000'))
    t.hub = harness.plug(UsbDevice(1, [2], 0x05E3, 0x0608, 0x6060, None, 'USB2.0 Hub', None, device_class=9))
    t.model = CsrDfuModel(csr_firmware(5000))
    t.csr = harness.plug(UsbDevice(1, [2, 3], 0x0A12, 0x1004, 0x0100, 'Cambridge Silicon Radio', 'CSR DFU Widget',
                                   'CSR0001', interfaces=[HidInterface(csr_report_descriptor(), t.model)]))
    keyboard = [HidInterface(keyboard_report_descriptor(), protocol=1), HidInterface(keyboard_report_descriptor())]
    t.keyboard = harness.plug(UsbDevice(1, [4], 0x046D, 0xC31C, 0x4920, 'Müller & Söhne', 'Tastatur «Ü» – 日本',
                                        'K\\1', interfaces=keyboard))
    t.nameless = harness.plug(UsbDevice(1, [2, 1], 0x03EB, 0x2FF4, 0x0000))
    t.unknown_vendor = harness.plug(UsbDevice(2, [12], 0xFFF0, 0x0001, 0x0210, 'Nobody', None, '42'))
    return t
