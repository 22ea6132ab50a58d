"""`monitor`: the whole list again after every change, read line by line while it runs."""

import json
import signal

from csr_model import CsrDfuModel, HidInterface, UsbDevice, csr_report_descriptor


def next_list(process):
    line = process.readline(timeout=15)
    assert line is not None, 'monitor ended: %s' % process.stderr
    document = json.loads(line)
    assert set(document) == {'devices'}, line
    return [entry['identifier'] for entry in document['devices']]


def test_prints_the_list_after_each_plug_and_unplug(tree):
    h = tree.harness
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
