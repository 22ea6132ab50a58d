"""Refused access to a device node or to sysfs: one line on standard error says which path and
what to do; the documents are those of any other failure. And the udev rules that open CSR
devices to the user at the seat, applied by udev to the emulated devices."""

import os
import subprocess

import pytest

from csr_model import CsrDfuModel, csr_firmware, plug_csr
from harness import failed_transfer


@pytest.fixture
def csr(harness):
    return plug_csr(harness, CsrDfuModel(csr_firmware(100)))


def transfer_failed(identifier):
    return [failed_transfer(identifier, 'Unable to connect to device')]


# `reset`, which has no document, follows the hint with its own line.
@pytest.mark.parametrize('action, names, expected, then', [
    ('backup', ['/dev/null'], transfer_failed, []),
    ('reset', [], lambda identifier: [], ['reset: unable to open device 0a12-1004-01300000']),
    ('get', ['alpha', 'beta'], lambda identifier: [{'control': [
        {'request': name, 'response': None, 'error': 'Unable to connect to device'} for name in ('alpha', 'beta')]}], []),
])
def test_refused_device_node_is_named_once(harness, csr, action, names, expected, then):
    result = harness.run(action, csr.identifier, *names, unprivileged=True)
    assert (result.returncode, result.documents()) == (255, expected(csr.identifier)), result
    assert result.stderr.splitlines() == ['No permission to open %s: install the udev rules (60-hiddfu.rules, see '
                                          'hiddfu(1)) or run as root' % csr.hidraw_nodes[0].devnode] + then, result


@pytest.mark.parametrize('unreadable, named', [
    ('/sys/bus/usb/devices', '/sys/bus/usb/devices: run as root'),
    ('/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/descriptors', '/usb1/1-3/descriptors: run as root'),
])
def test_unreadable_device_list_sources_are_named(harness, csr, unreadable, named):
    os.chmod(harness.root + unreadable, 0)
    result = harness.run('devices', unprivileged=True)
    assert result.returncode == 0 and any(named in line for line in result.stderr.splitlines()), result


RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'udev', '60-hiddfu.rules')
# A mount namespace of its own keeps the rules under test away from the machine's udev.
UDEVADM_TEST = 'mount -t tmpfs tmpfs /run && mkdir -p /run/udev/rules.d && cp "$0" /run/udev/rules.d/ && ' \
               'exec udevadm test "/sys$1"'


def test_rules_tag_the_usb_and_hidraw_nodes_of_csr_devices_only(tree):
    for device, tagged in ((tree.csr, True), (tree.keyboard, False), (tree.hub, False)):
        for syspath in [device.syspath] + [paths[2] for paths in device.hid_paths]:
            result = subprocess.run(['unshare', '--mount', '--map-root-user', 'sh', '-c', UDEVADM_TEST, RULES, syspath],
                                    env=tree.harness.environment(), capture_output=True, text=True, check=True)
            tags = [line for line in result.stdout.splitlines() if line.startswith('CURRENT_TAGS=')]
            assert any(':uaccess:' in line for line in tags) == tagged, (syspath, tags)
            complaints = [line for line in result.stderr.splitlines() if '60-hiddfu.rules:' in line]
            assert complaints == [], complaints  # udev names a faulty line by file and number
