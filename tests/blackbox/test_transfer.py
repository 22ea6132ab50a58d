"""`update`, `backup` and `reset` through the real binary against the emulated CSR device."""

import json

import pytest
from gi.repository import GLib

from csr_model import STATE_DOWNLOAD_IDLE, STATE_ERROR, STATUS_ERR_ADDRESS, csr_firmware
from dfu_file import dfu_bytes, parse_dfu

STATE_FAILED, STATE_DONE, STATE_READING, STATE_WRITING, STATE_COMPLETING = -1, 0, 2, 3, 4


def transfers(result, identifier):
    """The transfer documents, checked line by line: each a complete document for the device,
    with progress that never goes back."""
    documents = []
    last = 0.0
    for line in result.lines:
        document = json.loads(line)
        assert set(document) == {'transfer'}, line
        transfer = document['transfer']
        assert set(transfer) == {'identifier', 'progress', 'state', 'error'}, line
        assert transfer['identifier'] == identifier
        assert isinstance(transfer['progress'], float) and 0.0 <= transfer['progress'] <= 100.0
        assert transfer['progress'] >= last, 'progress went back: %s' % line
        last = transfer['progress']
        documents.append(transfer)
    assert documents, result
    return documents


def states(documents):
    """The run of states with repeats collapsed: [3, 4, 0] for a good update."""
    collapsed = []
    for document in documents:
        if not collapsed or collapsed[-1] != document['state']:
            collapsed.append(document['state'])
    return collapsed


def wait_for_return(harness, device, plugs):
    harness.iterate_until(lambda: device in harness.plugged and device.plugs >= plugs and
                          not harness.reenumerating, 10, 're-enumeration of %s' % device.name)


def write_file(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def test_update_then_backup_round_trip(tree, tmp_path):
    h, device, model = tree.harness, tree.csr, tree.model
    image = csr_firmware(2500, seed=7)
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(image, 0x0A12, 0x1004, 0x0200))

    result = h.run('update', device.identifier, source)
    assert result.returncode == 0, result
    documents = transfers(result, device.identifier)
    assert states(documents) == [STATE_WRITING, STATE_COMPLETING, STATE_DONE], result.lines
    assert documents[-1] == {'identifier': device.identifier, 'progress': 100.0,
                             'state': STATE_DONE, 'error': None}
    writing = [d['progress'] for d in documents if d['state'] == STATE_WRITING]
    assert writing[0] == 0.0 and max(writing) <= 75.0
    assert model.blocks == [(0, 1017), (1, 1017), (2, 466), (3, 0)]
    assert model.firmware == image
    assert model.controls == [0xFF], 'the update ends with one reset'
    wait_for_return(h, device, 2)

    destination = str(tmp_path / 'backup.dfu')
    result = h.run('backup', device.identifier, destination)
    assert result.returncode == 0, result
    documents = transfers(result, device.identifier)
    assert states(documents) == [STATE_READING, STATE_DONE], result.lines
    assert documents[-1]['progress'] == 100.0 and documents[-1]['error'] is None
    with open(destination, 'rb') as f:
        assert parse_dfu(f.read()) == (image, 0x0A12, 0x1004, device.bcd)
    assert model.controls == [0xFF, 0xFF]


@pytest.mark.parametrize('length', [2 * 1017, 1017 + 500, 14])
def test_backup_reads_images_ending_in_any_report(tree, tmp_path, length):
    # 2034 bytes fill two reports exactly, so an empty report ends the image.
    tree.model.firmware = csr_firmware(length, seed=length)
    destination = str(tmp_path / 'backup.dfu')
    result = tree.harness.run('backup', tree.csr.identifier, destination)
    assert result.returncode == 0, result
    assert transfers(result, tree.csr.identifier)[-1]['state'] == STATE_DONE
    with open(destination, 'rb') as f:
        assert parse_dfu(f.read())[0] == tree.model.firmware


def test_backup_to_an_unwritable_path_reads_everything_then_fails(tree, tmp_path):
    result = tree.harness.run('backup', tree.csr.identifier, str(tmp_path / 'missing' / 'b.dfu'))
    assert result.returncode == 255, result
    documents = transfers(result, tree.csr.identifier)
    assert documents[-1] == {'identifier': tree.csr.identifier, 'progress': 100.0,
                             'state': STATE_FAILED, 'error': 'Unable to write to backup file'}
    assert tree.model.controls == [0xFF], 'the device is still reset'


@pytest.mark.parametrize('fault, error', [
    ('product', 'Firmware file not valid for the target device'),
    ('vendor', 'Firmware file not valid for the target device'),
    ('crc', 'Unable to load firmware file'),
    ('missing', 'Unable to load firmware file'),
])
def test_update_refuses_a_wrong_file_before_touching_the_device(tree, tmp_path, fault, error):
    vid, pid = (0x0A12, 0x1005) if fault == 'product' else \
        (0x0A13, 0x1004) if fault == 'vendor' else (0x0A12, 0x1004)
    data = bytearray(dfu_bytes(csr_firmware(3000), vid, pid))
    if fault == 'crc':
        data[100] ^= 0x01
    path = write_file(tmp_path, 'f.dfu', bytes(data)) if fault != 'missing' else str(tmp_path / 'none')
    before = tree.harness.ioctl_count
    result = tree.harness.run('update', tree.csr.identifier, path)
    assert result.returncode == 255, result
    assert result.documents() == [{'transfer': {'identifier': tree.csr.identifier, 'progress': 0.0,
                                                'state': STATE_FAILED, 'error': error}}]
    assert tree.model.blocks == [] and tree.model.controls == []
    assert tree.harness.ioctl_count == before


def test_update_of_an_unplugged_device_reports_the_failure(tree, tmp_path):
    h, model = tree.harness, tree.model
    image = csr_firmware(200 * 1017)  # long enough that the unplug lands mid-transfer
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(image, 0x0A12, 0x1004))

    def unplug_after_block(block):
        if block == 2:
            GLib.idle_add(lambda: (h.unplug(tree.csr), False)[1], priority=GLib.PRIORITY_HIGH)
    model.on_block = unplug_after_block

    result = h.run('update', tree.csr.identifier, source, timeout=30)
    assert result.returncode == 255, result
    documents = transfers(result, tree.csr.identifier)
    assert documents[-1]['state'] == STATE_FAILED
    assert documents[-1]['error'] == 'Error updating device'
    assert 0.0 < documents[-1]['progress'] < 75.0
    assert model.completed_downloads == 0


def test_update_clears_an_error_state_first(tree, tmp_path):
    tree.model.state, tree.model.status = STATE_ERROR, 0x0A
    image = csr_firmware(1500)
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(image, 0x0A12, 0x1004))
    result = tree.harness.run('update', tree.csr.identifier, source)
    assert result.returncode == 0, result
    assert tree.model.controls == [0x04, 0xFF], 'clear status, no reset before the download'
    assert tree.model.firmware == image


def test_update_resets_a_stuck_device_and_finds_it_again_after_reenumeration(tree, tmp_path):
    # A download left half done: the update resets the device, which leaves the bus and comes
    # back with a new device number and hidraw node at the same place.
    tree.model.state = STATE_DOWNLOAD_IDLE
    first_node = tree.csr.hidraw_nodes[0].devnode
    image = csr_firmware(1500)
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(image, 0x0A12, 0x1004))
    result = tree.harness.run('update', tree.csr.identifier, source, timeout=30)
    assert result.returncode == 0, result
    assert states(transfers(result, tree.csr.identifier))[-1] == STATE_DONE
    log = tree.model.log
    assert log[0] == ('control', 0xFF) and log[-1] == ('control', 0xFF), log
    assert [entry for entry in log[1:-1] if entry[0] != 'block'] == [], log
    assert tree.model.firmware == image
    wait_for_return(tree.harness, tree.csr, 3)
    assert tree.csr.hidraw_nodes[0].devnode != first_node


def test_update_waits_out_a_busy_device(tree, tmp_path):
    tree.model.busy_blocks = {0}
    image = csr_firmware(2 * 1017)
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(image, 0x0A12, 0x1004))
    result = tree.harness.run('update', tree.csr.identifier, source)
    assert result.returncode == 0, result
    assert tree.model.firmware == image


def test_reset_reenumerates_the_device_at_the_same_location(tree):
    h, device = tree.harness, tree.csr
    result = h.run('reset', device.identifier)
    assert (result.returncode, result.stdout) == (0, ''), result
    assert tree.model.controls == [0xFF]
    wait_for_return(h, device, 2)
    again = h.run('devices', '0x0a12')
    assert [entry['identifier'] for entry in again.documents()[0]['devices']] == [device.identifier]


@pytest.mark.parametrize('identifier', ['0a12-1004-01240000', 'not-an-identifier'])
def test_reset_of_an_absent_device_fails_quietly(tree, identifier):
    result = tree.harness.run('reset', identifier)
    assert (result.returncode, result.stdout) == (255, ''), result
    assert tree.model.controls == []


@pytest.mark.parametrize('command', ['update', 'backup'])
def test_transfer_to_an_absent_device(tree, tmp_path, command):
    path = write_file(tmp_path, 'f.dfu', dfu_bytes(csr_firmware(100), 0x0A12, 0x1004))
    result = tree.harness.run(command, '0a12-1004-01240000', path)
    assert result.returncode == 255, result
    assert result.documents()[-1]['transfer'] == {
        'identifier': '0a12-1004-01240000', 'progress': 0.0, 'state': STATE_FAILED,
        'error': 'Unable to connect to device'}


@pytest.mark.parametrize('back_after, succeeds', [(2.0, True), (None, False)])
def test_update_waits_a_while_for_a_slow_reenumeration(tree, tmp_path, back_after, succeeds):
    h, model = tree.harness, tree.model
    model.state = STATE_DOWNLOAD_IDLE        # forces the reset before the download
    if back_after is None:
        model.on_reset = lambda: GLib.idle_add(lambda: (h.unplug(tree.csr), False)[1])
    else:
        h.reenumeration_delay = (0.05, back_after)
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(csr_firmware(1500), 0x0A12, 0x1004))
    result = h.run('update', tree.csr.identifier, source, timeout=30)
    last = transfers(result, tree.csr.identifier)[-1]
    if succeeds:
        assert (result.returncode, last['state']) == (0, STATE_DONE), result
        assert model.completed_downloads == 1
    else:
        assert (result.returncode, last['state'], last['error']) == \
            (255, STATE_FAILED, 'Error updating device'), result
        assert 'timeout reaquiring device after reset' in result.stderr
        assert model.blocks == []


def test_a_device_error_ends_the_update_with_its_document_and_a_reset(tree, tmp_path):
    tree.model.fail_block = 1
    source = write_file(tmp_path, 'new.dfu', dfu_bytes(csr_firmware(4068), 0x0A12, 0x1004))
    result = tree.harness.run('update', tree.csr.identifier, source, timeout=30)
    assert result.returncode == 255, result
    last = transfers(result, tree.csr.identifier)[-1]
    assert (last['state'], last['error'], last['progress']) == (STATE_FAILED, 'Error updating device', 37.5)
    assert 'update: device state error 10, %d @1\n' % STATUS_ERR_ADDRESS in result.stderr
    assert tree.model.controls == [0xFF], 'reset after the failure'
