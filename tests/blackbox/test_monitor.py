"""`monitor`: the whole list again after every change, read line by line while it runs."""

import json
import signal

import pytest

from csr_model import CsrDfuModel, HidInterface, UsbDevice, csr_report_descriptor

# The binary follows udev's netlink group when udevd runs, the kernel's otherwise.
SOURCES = {'udev': '', 'kernel': "USB hot-plug: following the kernel's uevents, not udev's\n"}


def next_list(process):
    line = process.readline(timeout=15)
    assert line is not None, 'monitor ended: %s' % process.stderr
    document = json.loads(line)
    assert set(document) == {'devices'}, line
    return [entry['identifier'] for entry in document['devices']]


@pytest.mark.parametrize('source', sorted(SOURCES))
def test_prints_the_list_after_each_plug_and_unplug(tree, source):
    h = tree.harness
    h.usb_events = source
    second = UsbDevice(1, [2, 4], 0x0A12, 0x1004, 0x0101, 'CSR', 'Second', None,
                       interfaces=[HidInterface(csr_report_descriptor(), CsrDfuModel())])
    other = UsbDevice(1, [5], 0x1234, 0x0001)
    process = h.start('monitor', '0x0a12')
    try:
        assert next_list(process) == [tree.csr.identifier]
        h.plug(second)
        assert next_list(process) == [tree.csr.identifier, second.identifier]
        h.plug(other)        # filtered out: no line for it, so the next line is the removal's
        h.unplug(tree.csr)
        assert next_list(process) == [second.identifier]
        h.unplug(second)
        assert next_list(process) == []
        h.plug(tree.csr)
        entries = json.loads(process.readline(timeout=15))['devices']
        assert [(e['identifier'], e['product']) for e in entries] == \
            [(tree.csr.identifier, 'CSR DFU Widget')]
        h.pump(0.5)
    finally:
        process.stop(signal.SIGTERM)  # fails the test if the signal does not end it
    assert process.stdout == '', 'nothing more: no document for the signal or a filtered-out device'
    assert process.stderr == SOURCES[source]


@pytest.mark.parametrize('source', sorted(SOURCES))
def test_a_hub_plugged_with_its_devices_is_one_change(tree, source):
    h = tree.harness
    h.usb_events = source
    process = h.start('monitor')
    try:
        before = next_list(process)
        # Stopped, so that every event waits when it wakes up, as for a hub whose devices
        # the kernel enumerates in one go.
        process.popen.send_signal(signal.SIGSTOP)
        hub = h.plug(UsbDevice(2, [5], 0x05E3, 0x0608, 0x6060, None, 'Hub', None, device_class=9))
        behind = [h.plug(UsbDevice(2, [5, port], 0x1234, port, 0x0100)) for port in (1, 2)]
        process.popen.send_signal(signal.SIGCONT)
        assert next_list(process) == before + [hub.identifier] + [d.identifier for d in behind]
        h.pump(0.5)
        assert process.stdout == '', 'one list for the hub and its devices'
    finally:
        process.stop(signal.SIGTERM)


def test_ends_with_255_where_no_netlink_socket_is_allowed(tree):
    result = tree.harness.run('monitor', netlink=False, timeout=15)
    assert (result.returncode, result.stdout) == (255, '')
    assert result.stderr == "No USB hot-plug events: can't open a netlink monitor (Permission denied)\n" \
        "Can't watch for USB device changes\n"


def test_without_a_usb_bus_says_so_and_waits(harness):
    process = harness.start('monitor')
    try:
        harness.iterate_until(lambda: 'No USB bus' in process.stderr, 10, 'the diagnostic')
        harness.pump(0.5)
        assert process.stdout == ''
    finally:
        process.stop(signal.SIGTERM)
    assert process.stderr == 'No USB bus to list: /sys/bus/usb is missing\n'


def test_without_a_matching_device_waits_for_one(tree):
    h = tree.harness
    process = h.start('monitor', '0x1234', '0x0002')
    try:
        h.pump(1.0)
        assert process.stdout == ''
        late = h.plug(UsbDevice(2, [3], 0x1234, 0x0002, 0x0100, None, 'Late', None))
        assert next_list(process) == [late.identifier]
    finally:
        process.stop(signal.SIGINT)
    assert process.stdout == ''
