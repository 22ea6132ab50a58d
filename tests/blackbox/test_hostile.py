"""Hostile files, odd backup destinations and exhausted resources, through the real binary."""

import os
import pathlib
import re
import resource
import stat
import subprocess
import tempfile

import pytest

from csr_model import CsrDfuModel, _vendor_item, csr_firmware, csr_report_descriptor, plug_csr
from dfu_file import read_dfu
from harness import default_binary, failed_transfer

NOBODY = 65534
WRITE_FAILED = 'Unable to write to backup file'
FIRMWARE = csr_firmware(14)


@pytest.fixture
def place():
    """A directory that user nobody can reach, as a tmp_path below /tmp/pytest-of-root is not."""
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        yield directory


def backup(harness, destination, unprivileged=False, device=None):
    device = device or plug_csr(harness, CsrDfuModel(FIRMWARE))
    if unprivileged:
        for node in device.hidraw_nodes:  # the pty behind the node, as udev would grant it
            os.chmod(os.path.realpath(harness.root + node.devnode), 0o666)
    before = harness.ioctl_count
    result = harness.run('backup', device.identifier, destination, unprivileged=unprivileged)
    error = result.documents()[-1]['transfer']['error']
    assert (result.returncode == 0) == (error is None), result
    # a destination that cannot be written is refused before the device is touched
    assert (harness.ioctl_count == before) == (error == WRITE_FAILED), result
    return error


def old_file(d, mode=0o644, owner=0, content=b'earlier'):
    """An earlier d/b.dfu, the destination."""
    path = pathlib.Path(d, 'b.dfu')
    path.write_bytes(content)
    os.chown(path, owner, owner)
    os.chmod(path, mode)  # after chown, which drops the set-ID bits
    return str(path)


def backed_up(d, name='b.dfu'):
    return read_dfu(os.path.join(d, name))[0] == FIRMWARE


def unchanged(d):
    return pathlib.Path(d, 'b.dfu').read_bytes() == b'earlier'


def world_writable(d, mode=0o777):
    os.chmod(d, mode)
    return d


def mode_and_owner(d):
    s = os.stat(d + '/b.dfu')
    return s.st_mode, s.st_uid, s.st_gid


def symlinks(d, *pairs):
    for link, target in pairs:
        os.symlink(target, d + '/' + link)
    return d + '/b.dfu'


# name: (prepare(directory) -> destination, run as nobody, error, check(directory))
DESTINATIONS = {
    'set-ID bits never carry over, the owner stays (root)':
        (lambda d: old_file(d, 0o6755, NOBODY), False, None,
         lambda d: backed_up(d) and mode_and_owner(d) == (stat.S_IFREG | 0o755, NOBODY, NOBODY)),
    'an own read-only file is refused':
        (lambda d: old_file(world_writable(d), 0o444, NOBODY), True, WRITE_FAILED, unchanged),
    "root's file in a world-writable directory is refused":
        (lambda d: old_file(world_writable(d)), True, WRITE_FAILED, unchanged),
    'a writable file in an unwritable directory is overwritten in place':
        (lambda d: old_file(d, 0o666, content=b'x' * 500), True, None,
         lambda d: backed_up(d) and os.listdir(d) == ['b.dfu']),
    "root's writable file in a sticky world-writable directory is overwritten in place":
        (lambda d: old_file(world_writable(d, 0o1777), 0o666, content=b'x' * 500), True, None,
         lambda d: backed_up(d) and os.listdir(d) == ['b.dfu'] and mode_and_owner(d)[1] == 0),
    'a name of 255 bytes': (lambda d: d + '/' + 'n' * 255, False, None, lambda d: backed_up(d, 'n' * 255)),
    'a dangling link is written through':
        (lambda d: symlinks(d, ('b.dfu', 'target.dfu')), False, None,
         lambda d: os.readlink(d + '/b.dfu') == 'target.dfu' and backed_up(d, 'target.dfu')),
    'a loop of links fails':
        (lambda d: symlinks(d, ('b.dfu', 'c'), ('c', 'b.dfu')), False, WRITE_FAILED,
         lambda d: sorted(os.listdir(d)) == ['b.dfu', 'c']),
}


@pytest.mark.parametrize('prepare, unprivileged, error, check', DESTINATIONS.values(),
                         ids=DESTINATIONS.keys())
def test_backup_destination(harness, place, prepare, unprivileged, error, check):
    assert backup(harness, prepare(place), unprivileged) == error
    assert check(place), sorted(os.listdir(place))


def test_backup_reads_short_reports_of_a_device_declaring_a_huge_one(harness, tmp_path):
    # Report 9 of 20,000 bytes is beyond what one hidraw request carries (16,383).
    huge = csr_report_descriptor()[:-1] + bytes([0x85, 9]) + _vendor_item(0x94, 19999, 2) + \
        bytes([0x09, 9, 0xB1, 0x02, 0xC0])
    assert backup(harness, str(tmp_path / 'b.dfu'), device=plug_csr(harness, CsrDfuModel(FIRMWARE), huge)) is None
    assert backed_up(tmp_path)


# Runs without a device need no emulation, and some cannot bear the preload library.
PLAIN = {name: value for name, value in os.environ.items() if name != 'LD_PRELOAD'}
# For a sanitizer build: LeakSanitizer cannot work under strace.
UNDER_STRACE = dict(PLAIN, ASAN_OPTIONS=os.environ.get('ASAN_OPTIONS', '') + ':detect_leaks=0')


def run_plain(args, timeout=10, **kwargs):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout,
                          env=UNDER_STRACE if args[0] == 'strace' else PLAIN, **kwargs)


@pytest.mark.parametrize('command', ['dfufile', 'update 0a12-1004-01300000'])
def test_a_fifo_is_refused_at_once(tmp_path, command):
    fifo = str(tmp_path / 'fifo')
    os.mkfifo(fifo)
    result = run_plain([default_binary()] + command.split() + [fifo], timeout=5)
    if command == 'dfufile':
        assert (result.returncode, result.stderr) == (0, 'Invalid DFU file %s: not a regular file\n' % fifo)
    else:
        assert result.returncode == 255 and '"error": "Unable to load firmware file"' in result.stdout


@pytest.mark.parametrize('command, status, stdout', [('devices', 0, '{"devices": []}\n'),
                                                     ('monitor', 255, '')])
@pytest.mark.parametrize('exhaust', ['ulimit -n 4', 'eventfd fails'])
def test_exhausted_descriptors_end_with_a_diagnostic(command, status, stdout, exhaust):
    if exhaust == 'ulimit -n 4':
        limit = (resource.RLIMIT_NOFILE, (4, 4))
        result = run_plain([default_binary(), command], preexec_fn=lambda: resource.setrlimit(*limit))
    else:
        result = run_plain(['strace', '-f', '-o', '/dev/null', '-e', 'inject=eventfd2:error=EMFILE',
                            default_binary(), command])
    assert (result.returncode, result.stdout) == (status, stdout), result
    assert 'Too many open files' in result.stderr


@pytest.mark.parametrize('command, document', [
    ('get', {'control': [{'request': 'x', 'response': None, 'error': 'Unable to connect to device'}]}),
    ('backup', failed_transfer('0a12-1004-01300000', 'Unable to connect to device')),
])
def test_an_input_thread_without_a_run_loop_fails_the_connection(harness, monkeypatch, command, document):
    monkeypatch.setenv('ASAN_OPTIONS', UNDER_STRACE['ASAN_OPTIONS'])
    device = plug_csr(harness, CsrDfuModel(FIRMWARE))
    harness.binary = 'strace'  # every thread's first eventfd fails
    result = harness.run('-f', '-o', '/dev/null', '-e', 'inject=eventfd2:error=EMFILE', default_binary(),
                         command, device.identifier, 'x' if command == 'get' else '/dev/null')
    assert (result.returncode, result.documents()) == (255, [document]), result


def test_a_failing_wait_does_not_spin(tmp_path):
    log = str(tmp_path / 'count')
    run_plain(['strace', '-f', '-c', '-o', log, '-e', 'trace=ppoll', '-e',
               'inject=ppoll:error=ENOMEM', 'timeout', '-s', 'KILL', '2', default_binary(), 'monitor'])
    with open(log) as f:
        calls = int(re.search(r'^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+\d+\s+ppoll$', f.read(), re.M).group(1))
    assert 10 < calls < 1000, 'ppoll called %d times in 2 s' % calls


def test_closed_standard_descriptors_are_filled_with_dev_null(tmp_path):
    # Not under the preload library, whose own socket would take a closed descriptor first.
    log = str(tmp_path / 'opens')
    run_plain(['strace', '-o', log, '-e', 'trace=openat', 'sh', '-c', 'exec "$0" version <&- >&- 2>&-',
               default_binary()])
    with open(log) as f:  # the descriptors /dev/null was opened as
        assert [line.rsplit('= ', 1)[1].split()[0] for line in f if '"/dev/null"' in line] == ['0', '1', '2']
