"""`devices`: the one-shot list, its filters, its strings, and an unprivileged run."""

import os

import pytest


def listed(result):
    assert result.returncode == 0 and len(result.documents()) == 1, result
    entries = result.documents()[0]['devices']
    by_identifier = {entry['identifier']: entry for entry in entries}
    assert len(by_identifier) == len(entries), 'a device listed twice: %s' % entries
    return by_identifier


def test_lists_each_attached_device_once_with_its_strings(tree):
    result = tree.harness.run('devices')
    devices = listed(result)
    assert result.stderr == ''
    assert tree.harness.ioctl_count == 0, "everything came from the kernel's copies: no device was woken or asked"

    # Location IDs: the bus in bits 31-24, one hexadecimal digit per port below it (bus 1, hub port
    # 2, port 3; port 4 with two HID interfaces, one entry; bus 2, port 12). Root hubs may be listed.
    assert set(devices) - {tree.root1.identifier, tree.root2.identifier} == {
        '0a12-1004-01230000', '046d-c31c-01400000', '03eb-2ff4-01210000', 'fff0-0001-02c00000', '05e3-0608-01200000'}
    # Without strings: empty texts, and a name from the vendor table.
    for identifier, bcd, manufacturer, product, serial, name in (
            ('0a12-1004-01230000', 0x0100, 'Cambridge Silicon Radio', 'CSR DFU Widget', 'CSR0001', 'CSR DFU Widget'),
            ('03eb-2ff4-01210000', 0, '', '', '', 'Unidentified device from Atmel Corp.'),
            ('fff0-0001-02c00000', 0x0210, 'Nobody', '', '42', 'Unidentified device from Unknown Vendor')):
        assert devices[identifier] == {
            'identifier': identifier, 'idVendor': int(identifier[:4], 16), 'idProduct': int(identifier[5:9], 16),
            'bcdDevice': bcd, 'manufacturer': manufacturer, 'product': product, 'serial': serial, 'name': name}


def test_strings_come_back_as_seven_bit_escapes(tree):
    # Controls other than newline, return and tab are escaped too; the kernel's final newline is not text.
    tree.harness.set_attribute(tree.csr, 'product', b'a\x01b\x7f\tc\rd\ne\x1b\n')
    devices = listed(tree.harness.run('devices'))
    keyboard = devices['046d-c31c-01400000']
    assert (keyboard['manufacturer'], keyboard['product'], keyboard['serial'], keyboard['name']) == (
        'M\\374ller & S\\366hne', 'Tastatur \\253\\334\\273 \\u2013 \\u65e5\\u672c', 'K\\\\1',
        'Tastatur \\253\\334\\273 \\u2013 \\u65e5\\u672c')
    assert devices[tree.csr.identifier]['product'] == 'a\\001b\\177\tc\rd\ne\\033'


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
    assert h.ioctl_count == 0, 'usbfs was asked'


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


LEFT_OVER = 'Warning: %s "%s" is read as %d; "%s" after the number is ignored\n'


@pytest.mark.parametrize('arguments, expected, stderr', [
    (('0x0a12',), {'0a12-1004-01230000'}, ''),
    (('2578',), {'0a12-1004-01230000'}, ''),                    # the same vendor in decimal
    (('0x0a12', '0x1004'), {'0a12-1004-01230000'}, ''),
    (('0x0a12', '0x1005'), set(), ''),
    (('0x1234',), set(), ''),
    (('0x10a12',), {'0a12-1004-01230000'}, ''),                 # low 16 bits
    (('0x046d', '0xc31c'), {'046d-c31c-01400000'}, ''),
    (('0', '0x1004'), None, ''),                                # a product without a vendor: everything
    (('0',), None, ''),
    (('0a12',), None, LEFT_OVER % ('idVendor', '0a12', 0, 'a12')),      # octal 0: no filter at all
    (('12abc', '1z'), set(), LEFT_OVER % ('idVendor', '12abc', 12, 'abc') + LEFT_OVER % ('idProduct', '1z', 1, 'z')),
])
def test_filters_select_by_vendor_and_product(tree, arguments, expected, stderr):
    result = tree.harness.run('devices', *arguments)
    everything = listed(tree.harness.run('devices'))
    assert listed(result) == ({i: everything[i] for i in expected} if expected is not None else everything)
    assert result.stderr == stderr
    if expected == set():
        assert result.lines == ['{"devices": []}']


def test_unprivileged_run_reads_the_strings_the_kernel_kept(tree):
    assert listed(tree.harness.run('devices', unprivileged=True)) == listed(tree.harness.run('devices'))
    assert tree.harness.ioctl_count == 0, 'usbfs was answered although its nodes cannot be opened'
