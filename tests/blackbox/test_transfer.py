"""`update`, `backup` and `reset` through the real binary against the emulated CSR device."""

import itertools
import json
import os
import zlib

import pytest
from gi.repository import GLib

from csr_model import STATE_DOWNLOAD_IDLE, STATE_ERROR, STATUS_ERR_ADDRESS, csr_firmware
from dfu_file import dfu_bytes, read_dfu, write_dfu
from harness import failed_transfer

FAILED, DONE, READING, WRITING, COMPLETING = -1, 0, 2, 3, 4
ABSENT = '0a12-1004-01240000'


def transfers(result, status, identifier):
    """The transfer documents after the exit status: complete, for the device, progress never going back."""
    documents = [json.loads(line) for line in result.lines]
    assert result.returncode == status and documents and all(set(d) == {'transfer'} for d in documents), result
    documents = [document['transfer'] for document in documents]
    for document in documents:
        assert set(document) == {'identifier', 'progress', 'state', 'error'}, document
        assert document['identifier'] == identifier and isinstance(document['progress'], float), document
    progress = [document['progress'] for document in documents]
    assert progress == sorted(progress) and 0.0 <= progress[0] and progress[-1] <= 100.0, progress
    return documents


def states(documents):
    """The run of states with repeats collapsed: [3, 4, 0] for a good update."""
    return [state for state, _ in itertools.groupby(document['state'] for document in documents)]


def update(tree, tmp_path, image, **options):
    return tree.harness.run('update', tree.csr.identifier, write_dfu(tmp_path / 'new.dfu', image), **options)


def wait_for_return(harness, device, plugs):
    harness.iterate_until(lambda: device in harness.plugged and device.plugs >= plugs and
                          not harness.reenumerating, 10, 're-enumeration of %s' % device.name)


def test_update_then_backup_round_trip(tree, tmp_path):
    h, device, model = tree.harness, tree.csr, tree.model
    image = csr_firmware(2500, seed=7)
    result = h.run('update', device.identifier, write_dfu(tmp_path / 'new.dfu', image, bcd=0x0200))
    documents = transfers(result, 0, device.identifier)
    assert states(documents) == [WRITING, COMPLETING, DONE], result.lines
    assert documents[-1] == {'identifier': device.identifier, 'progress': 100.0, 'state': DONE, 'error': None}
    writing = [d['progress'] for d in documents if d['state'] == WRITING]
    assert writing[0] == 0.0 and max(writing) <= 75.0
    assert model.blocks == [(0, 1017), (1, 1017), (2, 466), (3, 0)]
    assert model.firmware == image
    assert model.controls == [0xFF], 'the update ends with one reset'
    wait_for_return(h, device, 2)

    result = h.run('backup', device.identifier, tmp_path / 'backup.dfu')
    documents = transfers(result, 0, device.identifier)
    assert states(documents) == [READING, DONE], result.lines
    assert documents[-1]['progress'] == 100.0 and documents[-1]['error'] is None
    assert read_dfu(tmp_path / 'backup.dfu') == (image, 0x0A12, 0x1004, device.bcd)
    assert model.controls == [0xFF, 0xFF]


@pytest.mark.parametrize('short_last_report', [False, True])
@pytest.mark.parametrize('length', [2 * 1017, 1017 + 500, 14])
def test_backup_reads_images_ending_in_any_report(tree, tmp_path, length, short_last_report):
    # 2034 bytes fill two reports exactly, so an empty report ends the image. The report that
    # ends it is padded to the full size, its data length telling where the image ends, or not.
    tree.model.firmware = csr_firmware(length, seed=length)
    tree.model.short_last_report = short_last_report
    result = tree.harness.run('backup', tree.csr.identifier, tmp_path / 'backup.dfu')
    assert transfers(result, 0, tree.csr.identifier)[-1]['state'] == DONE
    assert read_dfu(tmp_path / 'backup.dfu')[0] == tree.model.firmware


@pytest.mark.parametrize('destination, reason', [
    ('missing/b.dfu', 'No such file or directory'), ('.', 'Is a directory'),
    ('loop', 'Too many levels of symbolic links')])
def test_backup_to_an_unwritable_path_fails_before_touching_the_device(tree, tmp_path, destination, reason):
    os.symlink('loop', tmp_path / 'loop')
    path = os.path.join(tmp_path, destination)
    before = tree.harness.ioctl_count
    result = tree.harness.run('backup', tree.csr.identifier, path)
    assert (result.returncode, result.documents()) == \
        (255, [failed_transfer(tree.csr.identifier, 'Unable to write to backup file')]), result
    assert result.stderr == 'backup: cannot write %s: %s\n' % (path, reason)
    assert tree.harness.ioctl_count == before and tree.model.log == [], 'neither read nor reset'


MISMATCH = 'update: the file is for %s, the device identifier names 0a12:1004\n'


@pytest.mark.parametrize('fault, error, stderr', [
    ('product', 'Firmware file not valid for the target device', MISMATCH % '0a12:1005'),
    ('vendor', 'Firmware file not valid for the target device', MISMATCH % '0a13:1004'),
    ('crc', 'Unable to load firmware file', 'update: invalid DFU file {path}: CRC mismatch ({crc})\n'),
    ('missing', 'Unable to load firmware file', 'update: invalid DFU file {path}: No such file or directory\n'),
], ids=['product', 'vendor', 'crc', 'missing'])
def test_update_refuses_a_wrong_file_before_touching_the_device(tree, tmp_path, fault, error, stderr):
    vid, pid = {'product': (0x0A12, 0x1005), 'vendor': (0x0A13, 0x1004)}.get(fault, (0x0A12, 0x1004))
    data = bytearray(dfu_bytes(csr_firmware(3000), vid, pid))
    if fault == 'crc':
        data[100] ^= 0x01
        stored, computed = int.from_bytes(data[-4:], 'little'), ~zlib.crc32(data[:-4]) & 0xFFFFFFFF
        stderr = stderr.replace('{crc}', 'file 0x%08x, computed 0x%08x' % (stored, computed))
    if fault != 'missing':
        (tmp_path / 'f.dfu').write_bytes(data)
    before = tree.harness.ioctl_count
    result = tree.harness.run('update', tree.csr.identifier, tmp_path / 'f.dfu')
    assert (result.returncode, result.documents(), result.stderr) == \
        (255, [failed_transfer(tree.csr.identifier, error)], stderr.replace('{path}', str(tmp_path / 'f.dfu'))), result
    assert tree.model.log == [] and tree.harness.ioctl_count == before


def test_update_of_an_unplugged_device_reports_the_failure(tree, tmp_path):
    def unplug_after_block(block):
        if block == 2:
            GLib.idle_add(lambda: (tree.harness.unplug(tree.csr), False)[1], priority=GLib.PRIORITY_HIGH)
    tree.model.on_block = unplug_after_block
    # Long enough that the unplug lands mid-transfer.
    result = update(tree, tmp_path, csr_firmware(200 * 1017), timeout=30)
    last = transfers(result, 255, tree.csr.identifier)[-1]
    assert (last['state'], last['error']) == (FAILED, 'Error updating device')
    assert 0.0 < last['progress'] < 75.0
    assert tree.model.completed_downloads == 0


def test_update_clears_an_error_state_first(tree, tmp_path):
    tree.model.state, tree.model.status = STATE_ERROR, 0x0A
    image = csr_firmware(1500)
    assert update(tree, tmp_path, image).returncode == 0
    assert tree.model.controls == [0x04, 0xFF], 'clear status, no reset before the download'
    assert tree.model.firmware == image


def test_update_resets_a_stuck_device_and_finds_it_again_after_reenumeration(tree, tmp_path):
    # A download left half done: the update resets the device, which leaves the bus and comes
    # back with a new device number and hidraw node at the same place.
    tree.model.state = STATE_DOWNLOAD_IDLE
    first_node = tree.csr.hidraw_nodes[0].devnode
    image = csr_firmware(1500)
    result = update(tree, tmp_path, image, timeout=30)
    assert states(transfers(result, 0, tree.csr.identifier))[-1] == DONE
    log = tree.model.log
    assert log[0] == ('control', 0xFF) and log[-1] == ('control', 0xFF), log
    assert [entry for entry in log[1:-1] if entry[0] != 'block'] == [], log
    assert tree.model.firmware == image
    wait_for_return(tree.harness, tree.csr, 3)
    assert tree.csr.hidraw_nodes[0].devnode != first_node


def test_update_waits_out_a_busy_device(tree, tmp_path):
    tree.model.busy_blocks = {0}
    image = csr_firmware(2 * 1017)
    assert update(tree, tmp_path, image).returncode == 0
    assert tree.model.firmware == image


def test_reset_reenumerates_the_device_at_the_same_location(tree):
    h, device = tree.harness, tree.csr
    result = h.run('reset', device.identifier)
    assert (result.returncode, result.stdout) == (0, ''), result
    assert tree.model.controls == [0xFF]
    wait_for_return(h, device, 2)
    again = h.run('devices', '0x0a12')
    assert [entry['identifier'] for entry in again.documents()[0]['devices']] == [device.identifier]


@pytest.mark.parametrize('identifier, stderr', [
    (ABSENT, 'reset: no such device %s\n' % ABSENT),
    ('not-an-identifier', 'reset: invalid device identifier not-an-identifier\n'),
], ids=['absent', 'invalid'])
def test_a_failed_reset_says_why_on_standard_error_only(tree, identifier, stderr):
    result = tree.harness.run('reset', identifier)
    assert (result.returncode, result.stdout, result.stderr) == (255, '', stderr), result
    assert tree.model.controls == []


@pytest.mark.parametrize('command', ['update', 'backup'])
def test_transfer_to_an_absent_device(tree, tmp_path, command):
    result = tree.harness.run(command, ABSENT, write_dfu(tmp_path / 'f.dfu', csr_firmware(100)))
    assert (result.returncode, result.documents()[-1]) == (255, failed_transfer(ABSENT, 'Unable to connect to device'))
    # backup tried the destination first, and left no trace of it
    assert os.listdir(tmp_path) == ['f.dfu'] and read_dfu(tmp_path / 'f.dfu')[0] == csr_firmware(100)


@pytest.mark.parametrize('back_after, succeeds', [(2.0, True), (None, False)])
def test_update_waits_a_while_for_a_slow_reenumeration(tree, tmp_path, back_after, succeeds):
    h, model = tree.harness, tree.model
    model.state = STATE_DOWNLOAD_IDLE        # forces the reset before the download
    if back_after is None:
        model.on_reset = lambda: GLib.idle_add(lambda: (h.unplug(tree.csr), False)[1])
    else:
        h.reenumeration_delay = (0.05, back_after)
    result = update(tree, tmp_path, csr_firmware(1500), timeout=30)
    last = transfers(result, 0 if succeeds else 255, tree.csr.identifier)[-1]
    if succeeds:
        assert last['state'] == DONE
        assert model.completed_downloads == 1
    else:
        assert (last['state'], last['error']) == (FAILED, 'Error updating device')
        assert 'timeout reaquiring device after reset' in result.stderr
        assert model.blocks == []


def test_a_device_error_ends_the_update_with_its_document_and_a_reset(tree, tmp_path):
    tree.model.fail_block = 1
    result = update(tree, tmp_path, csr_firmware(4068), timeout=30)
    last = transfers(result, 255, tree.csr.identifier)[-1]
    assert (last['state'], last['error'], last['progress']) == (FAILED, 'Error updating device', 37.5)
    assert 'update: device state error 10, %d @1\n' % STATUS_ERR_ADDRESS in result.stderr
    assert tree.model.controls == [0xFF], 'reset after the failure'
