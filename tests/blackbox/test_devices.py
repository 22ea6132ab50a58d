"""`devices`: the one-shot list, its filters, its strings, and an unprivileged run."""

import os

import pytest

from csr_model import UsbDevice


def listed(result):
    assert result.returncode == 0, result
    documents = result.documents()
    assert len(documents) == 1, result
    entries = documents[0]['devices']
    by_identifier = {entry['identifier']: entry for entry in entries}
    assert len(by_identifier) == len(entries), 'a device listed twice: %s' % entries
    return by_identifier


def test_lists_each_attached_device_once_with_its_strings(tree):
    result = tree.harness.run('devices')
    devices = listed(result)
    assert result.stderr == ''
    # Everything came from the kernel's copies: no device was woken or asked.
    assert all(not device.control_requests for device in tree.harness.plugged)
    assert tree.harness.ioctl_count == 0

    # Location IDs: the bus in bits 31-24, one hexadecimal digit per port below it.
    assert '0a12-1004-01230000' in devices    # bus 1, hub port 2, port 3
    assert '046d-c31c-01400000' in devices    # bus 1, port 4: one entry for two HID interfaces
    assert '03eb-2ff4-01210000' in devices
    assert 'fff0-0001-02c00000' in devices    # bus 2, port 12
    assert '05e3-0608-01200000' in devices
    assert {device.identifier for device in tree.leaves} <= set(devices)
    plugged = {device.identifier for device in tree.harness.plugged}
    assert set(devices) <= plugged, 'listed devices that are not attached'  # root hubs may be

    assert devices['0a12-1004-01230000'] == {
        'identifier': '0a12-1004-01230000', 'idVendor': 0x0A12, 'idProduct': 0x1004,
        'bcdDevice': 0x0100, 'manufacturer': 'Cambridge Silicon Radio',
        'product': 'CSR DFU Widget', 'serial': 'CSR0001', 'name': 'CSR DFU Widget'}
    # Without strings: empty texts, and a name from the vendor table.
    nameless = devices['03eb-2ff4-01210000']
    assert (nameless['manufacturer'], nameless['product'], nameless['serial'], nameless['bcdDevice']) == \
        ('', '', '', 0)
    assert nameless['name'] == 'Unidentified device from Atmel Corp.'
    unknown = devices['fff0-0001-02c00000']
    assert (unknown['manufacturer'], unknown['product'], unknown['serial']) == ('Nobody', '', '42')
    assert unknown['name'] == 'Unidentified device from Unknown Vendor'
    assert unknown['bcdDevice'] == 0x0210


def test_strings_outside_ascii_come_back_as_seven_bit_escapes(tree):
    keyboard = listed(tree.harness.run('devices', '0x046d'))['046d-c31c-01400000']
    for key in ('manufacturer', 'product', 'serial', 'name'):
        assert keyboard[key].isascii(), (key, keyboard[key])
    assert keyboard['manufacturer'] == 'M\\374ller & S\\366hne'
    assert keyboard['product'] == 'Tastatur \\253\\334\\273 \\u2013 \\u65e5\\u672c'
    assert keyboard['serial'] == 'K\\\\1'
    assert keyboard['name'] == keyboard['product']


def test_control_characters_are_escaped_except_newline_return_and_tab(tree):
    tree.harness.set_attribute(tree.csr, 'product', b'a\x01b\x7f\tc\rd\ne\x1b\n')
    csr = listed(tree.harness.run('devices', '0x0a12'))[tree.csr.identifier]
    assert csr['product'] == 'a\\001b\\177\tc\rd\ne\\033'


def test_missing_or_malformed_attributes_answer_as_a_stalled_request(tree):
    h = tree.harness
    h.set_attribute(tree.csr, 'product', None)          # the kernel kept no product string
    # A device descriptor cut short: the numbers come from their own attributes, no strings.
    h.set_attribute(tree.unknown_vendor, 'descriptors', tree.unknown_vendor.device_descriptor()[:9])
    devices = listed(h.run('devices'))
    csr = devices[tree.csr.identifier]
    assert (csr['manufacturer'], csr['product'], csr['serial'], csr['name']) == \
        ('Cambridge Silicon Radio', '', 'CSR0001', 'Unidentified device from Cambridge Silicon Radio, Ltd')
    unknown = devices[tree.unknown_vendor.identifier]
    assert (unknown['bcdDevice'], unknown['manufacturer'], unknown['serial']) == (0x0210, '', '')
    # Without even those, the device is left out.
    h.set_attribute(tree.unknown_vendor, 'idVendor', b'nonsense\n')
    assert tree.unknown_vendor.identifier not in listed(h.run('devices'))
    assert all(not device.control_requests for device in h.plugged)


def test_lists_where_no_netlink_socket_is_allowed(tree):
    result = tree.harness.run('devices', netlink=False)
    assert listed(result) == listed(tree.harness.run('devices'))
    assert result.stderr == "No USB hot-plug events: can't open a netlink monitor (Permission denied)\n"


def test_a_device_that_vanished_after_the_scan_is_left_out(tree):
    # A link in /sys/bus/usb/devices whose device directory has gone: the state between the
    # directory listing and the reading of the device's attributes.
    os.symlink('../../../devices/pci0000:00/0000:00:14.0/usb1/1-9',
               tree.harness.root + '/sys/bus/usb/devices/1-9')
    devices = listed(tree.harness.run('devices'))
    assert set(devices) == {device.identifier for device in tree.harness.plugged}


def test_without_a_usb_bus_says_so_and_lists_nothing(harness):
    result = harness.run('devices')
    assert (result.returncode, result.lines) == (0, ['{"devices": []}'])
    assert result.stderr == 'No USB bus to list: /sys/bus/usb is missing\n'


@pytest.mark.parametrize('arguments, expected', [
    (('0x0a12',), {'0a12-1004-01230000'}),
    (('2578',), {'0a12-1004-01230000'}),                        # the same vendor in decimal
    (('0x0a12', '0x1004'), {'0a12-1004-01230000'}),
    (('0x0a12', '0x1005'), set()),
    (('0x1234',), set()),
    (('0x10a12',), {'0a12-1004-01230000'}),                     # low 16 bits
    (('0x046d', '0xc31c'), {'046d-c31c-01400000'}),
])
def test_filters_select_by_vendor_and_product(tree, arguments, expected):
    result = tree.harness.run('devices', *arguments)
    assert set(listed(result)) == expected
    if not expected:
        assert result.lines == ['{"devices": []}']


def test_product_filter_without_vendor_lists_everything(tree):
    everything = listed(tree.harness.run('devices'))
    assert listed(tree.harness.run('devices', '0', '0x1004')) == everything
    assert listed(tree.harness.run('devices', '0')) == everything


def test_unprivileged_run_reads_the_strings_the_kernel_kept(tree):
    as_root = listed(tree.harness.run('devices'))
    for device in tree.harness.plugged:
        device.control_requests.clear()
    as_nobody = listed(tree.harness.run('devices', unprivileged=True))
    assert as_nobody == as_root
    assert all(not device.control_requests for device in tree.harness.plugged), \
        'usbfs was answered although its nodes cannot be opened'
