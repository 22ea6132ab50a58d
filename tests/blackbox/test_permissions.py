"""Without access to a device, one line on standard error says which node and what to do; the
documents are those of any other failure to connect."""

import os

import pytest

from csr_model import CsrDfuModel, HidInterface, UsbDevice, csr_firmware, csr_report_descriptor


@pytest.fixture
def csr(harness):
    # A small tree: every refused open leaks a socket in the preload library.
    harness.plug(UsbDevice(1, [], 0x1D6B, 0x0002, 0x0601, None, 'Root hub', None, device_class=9))
    return harness.plug(UsbDevice(1, [2], 0x0A12, 0x1004, 0x0100, 'CSR', 'Widget', '1',
                                  interfaces=[HidInterface(csr_report_descriptor(), CsrDfuModel(csr_firmware(100)))]))


def transfer_failed(identifier):
    return [{'transfer': {'identifier': identifier, 'progress': 0.0, 'state': -1,
                          'error': 'Unable to connect to device'}}]


@pytest.mark.parametrize('action, names, expected', [
    ('backup', ['/nonexistent/backup.dfu'], transfer_failed),
    ('reset', [], lambda identifier: []),
    ('get', ['alpha', 'beta'], lambda identifier: [{'control': [
        {'request': name, 'response': None, 'error': 'Unable to connect to device'} for name in ('alpha', 'beta')]}]),
])
def test_refused_device_node_is_named_once(harness, csr, action, names, expected):
    result = harness.run(action, csr.identifier, *names, unprivileged=True)
    assert result.returncode == 255, result
    assert result.documents() == expected(csr.identifier)
    node = csr.hidraw_nodes[0].devnode
    assert result.stderr.splitlines() == [
        'No permission to open %s: install the udev rules (60-hiddfu.rules, see hiddfu(1)) or run as root' % node
    ], result


def test_unreadable_sysfs_is_named(harness, csr):
    os.chmod(harness.root + '/sys/bus/usb/devices', 0)
    result = harness.run('devices', unprivileged=True)
    assert result.documents() == [{'devices': []}], result
    assert 'No permission to open /sys/bus/usb/devices: run as root' in result.stderr.splitlines(), result
