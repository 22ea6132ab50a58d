"""What needs no device: usage, argument errors, `version`, `dfufile`, escaping in documents, and
the failures a command meets before it touches a device."""

import json
import re
import struct
import subprocess

import pytest

from dfu_file import crc_accumulator, dfu_bytes, write_dfu
from harness import default_binary, failed_transfer

USAGE = 'Usage:\n\n' + ''.join('  %%s %s\n' % line for line in [
    'version', 'devices [idVendor [idProduct]]', 'monitor [idVendor [idProduct]]',
    'backup <deviceIdenifier> <destinationFirmwareFile>', 'update <deviceIdenifier> <sourceFirmwareFile>',
    'set <deviceIdenifier> [name [name...]]', 'get <deviceIdenifier> [name [name...]]',
    'reset <deviceIdenifier>', 'dfufile [filename [filename...]]']) + '\n'


def run(*args, argv0=None):
    binary = default_binary()
    return subprocess.run([argv0 or binary] + list(args), executable=binary, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=30)


def test_no_action_prints_usage_with_the_program_name_and_succeeds():
    for argv0, name in [(None, 'hiddfu'), ('/some/where/tool-name', 'tool-name')]:
        result = run(argv0=argv0)
        assert (result.returncode, result.stdout, result.stderr.decode()) == (0, b'', USAGE % ((name,) * 9)), result


@pytest.mark.parametrize('option, text', [('--help', 'usage'), ('-h', 'usage'), ('--version', 'version'),
                                          ('-V', 'version')])
def test_help_and_version_options_print_on_standard_output(option, text):
    stdout = {'usage': USAGE % (('hiddfu',) * 9), 'version': 'hiddfu 1.0 Beta 3\n'}[text]
    result = run(option)
    assert (result.returncode, result.stdout.decode(), result.stderr) == (0, stdout, b''), result


@pytest.mark.parametrize('args, error', [
    (['Version'], 'Invalid action'), ([''], 'Invalid action'), (['dfu'], 'Invalid action'),
    (['devices', 'abc', '1'], 'Invalid idVendor'), (['devices', '1', 'xyz'], 'Invalid idProduct'),
    (['devices', '1', '2', '3'], 'unexpected arguments supplied'), (['monitor', ''], 'Invalid idVendor'),
    (['monitor', '0x12', '-'], 'Invalid idProduct'), (['monitor', '1', '2', '3'], 'unexpected arguments supplied'),
    (['backup', '0a12-0001-14200000'], 'Invalid argument count'),
    (['backup', '0a12-0001-14200000', 'a.dfu', 'extra'], 'Invalid argument count'),
    (['update', '0a12-0001-14200000'], 'Invalid argument count'), (['set'], 'Invalid argument count'),
    (['get'], 'Invalid argument count'), (['reset', '0a12-0001-14200000', 'x'], 'Invalid argument count'),
])
def test_argument_errors_print_the_error_and_usage_and_fail(args, error):
    result = run(*args)
    assert (result.returncode, result.stdout, result.stderr.decode()) == \
        (255, b'', 'Error: %s\n\n' % error + USAGE % (('hiddfu',) * 9)), result


@pytest.mark.parametrize('args', [['0x0A12'], ['2578'], ['012'], ['65537'], [' -1'], ['12abc'], ['0', '0x1234']])
def test_device_filters_take_numbers_as_scanf_does(args):
    result = run('devices', *args)
    assert result.returncode == 0 and b'Usage:' not in result.stderr, result
    assert list(json.loads(result.stdout)) == ['devices']


def test_version_ignores_what_follows():
    for extra in [[], ['extra', 'words']]:
        result = run('version', *extra)
        assert (result.returncode, result.stderr, result.stdout) == \
            (0, b'', b'{"version": {"major": 1, "minor": 0, "qualifier": "Beta 3"}}\n'), result


def test_transfers_fail_before_any_device_access(tmp_path):
    good = write_dfu(tmp_path / 'good.dfu', b'firmware', 0x0A12, 0x0001)
    for action, identifier, path, error in [
            ('backup', 'not-an-id', str(tmp_path / 'out.dfu'), 'Invalid device identifier'),
            ('update', '0a12-0001', good, 'Invalid device identifier'),
            # shown as typed, blanks and case kept
            ('update', '  0A12-0002-14200000', good, 'Firmware file not valid for the target device')]:
        result = run(action, identifier, path)
        assert result.returncode == 255, result
        assert result.stdout.decode() == json.dumps(failed_transfer(identifier, error)) + '\n'  # key order, 0.0 a real
    assert not (tmp_path / 'out.dfu').exists()
    assert (run('reset', 'nonsense').returncode, run('reset', 'nonsense').stdout) == (255, b'')


def test_control_entries_escape_their_strings_and_drop_invalid_utf8():
    for action in ['set', 'get']:
        assert (run(action, 'bad').returncode, run(action, 'bad').stdout) == (0, b'{"control": []}\n')
        result = run(action, 'bad', 'q"b\\t\t/\x01\u00e9', b'\xff\xfe')
        assert result.returncode == 255, result
        assert result.stdout == (b'{"control": [{"request": "q\\"b\\\\t\\t/\\u0001\xc3\xa9", "response": null, '
                                 b'"error": "Invalid device identifier"}, {"response": null, '
                                 b'"error": "Invalid device identifier"}]}\n')


def invalid_dfu_files(d):
    """(path, the reason dfufile gives) for each way a file is not a DFU file."""
    def suffixed(patch):
        data = bytearray(dfu_bytes(b'ABC'))
        patch(data)
        data[-4:] = struct.pack('<I', crc_accumulator(bytes(data[:-4])))
        return bytes(data)
    damaged = bytearray(dfu_bytes(b'ABC'))
    damaged[0] ^= 1
    files = [('missing', None, 'No such file or directory'),
             ('short', b'x' * 15, 'too short for a DFU suffix (15 bytes)'),
             ('text', b'not a DFU file at all', 'no DFU suffix'),
             ('length', suffixed(lambda data: data.__setitem__(-5, 15)), 'DFU suffix length 15 out of range'),
             ('old', suffixed(lambda data: data.__setitem__(slice(-10, -8), b'\xff\x00')),
              'bcdDFU 0x00ff below 0x0100'),
             ('crc', bytes(damaged), 'CRC mismatch (file 0x%08x, computed 0x%08x)' % (
                 struct.unpack('<I', damaged[-4:])[0], crc_accumulator(bytes(damaged[:-4]))))]
    for name, data, _ in files:
        if data is not None:
            (d / name).write_bytes(data)
    with open(d / 'huge', 'wb') as huge:  # sparse, one byte over 1 GiB
        huge.truncate(2 ** 30 + 1)
    return [(str(d / name), reason) for name, _, reason in files] + \
        [(str(d / 'huge'), 'larger than 1 GiB (1073741825 bytes)'), (str(d), 'not a regular file')]


def test_dfufile_describes_valid_files_and_says_why_the_others_are_not(tmp_path):
    assert (run('dfufile').returncode, run('dfufile').stdout, run('dfufile').stderr) == (0, b'', b'')
    good = write_dfu(tmp_path / 'good.dfu', b'ABC', 0x0A12, 0x0001)
    invalid = invalid_dfu_files(tmp_path)
    result = run('dfufile', good, *[path for path, _ in invalid], good)
    assert (result.returncode, result.stderr.decode().splitlines()) == \
        (0, ['Invalid DFU file %s: %s' % item for item in invalid]), result
    assert re.fullmatch('(Firmware object @ 0x[0-9a-f]+%s){2}' % re.escape(description(good, b'ABC')),
                        result.stdout.decode()), result


def rows(label, data, wide):
    """The dump of `data` as `dfufile` lays it out: rows of 32 bytes, at most 8 of them, compact
    below 17 rows, with offsets above."""
    text = '    %s%s' % (label, '\n' if wide else ':  ')
    for row in range(0, min(len(data), 256), 32):
        part = data[row:row + 32]
        line = ' '.join('%02x' % b for b in part) + ' : ' + ''.join(chr(b) if 32 <= b < 127 else '.' for b in part)
        text += ('        %08x:  ' % row if wide else '' if row == 0 else ':  ') + line + '\n'
    if len(data) > 256:
        text += '        (%d of %d bytes not shown)\n' % (len(data) - 256, len(data))
    return text


def description(path, image, aux=b'', tail=''):
    """What `dfufile` prints after "Firmware object @ <address>" for a file of vendor 0x0a12, product 1."""
    return (': %s\n  VendorID:        0x0a12\n  ProductID:       0x0001\n  DeviceRelease:   0x0100\n'
            '  Aux data size:   %d bytes\n' % (path, len(aux)) + (rows('AuxData', aux, False) if aux else '') +
            '  Firmware size:   %d bytes\n' % len(image) + rows('Firmware', image, len(image) > 543) + tail)


def csr_image(length_field=100, size=100, magic=b'CSR-dfu'):
    image = bytearray(size)
    image[0:8] = magic + b'\x01'
    image[8:12] = bytes([2, 1, length_field, 0])
    image[14] = 0x64
    image[16:32] = b'Widget firmware\x7f'
    return bytes(image)


CSR_LINES = ('  CSR file id:     CSR-dfu.\n  CSR file vers:   0x0102\n  CSR file len:    0x%04x%s\n'
             '  CSR hdr len:     0x0064\n  CSR file desc:   Widget firmware.' + '.' * 48 + '\n')


@pytest.mark.parametrize('image, aux, tail', [
    (b'\x00\x7f\x80\xff~ ', b'\x01\x02AB', ''),
    (b'a' * 40, b'', ''), (bytes(range(256)), b'', ''), (b'a' * 257, b'', ''), (b'a' * 543, b'x' * 239, ''),
    (b'a' * 544, b'', ''),
    (csr_image(), b'', CSR_LINES % (100, '')),
    (csr_image(101), b'', CSR_LINES % (101, ' Note: does not match firmware data size')),
    (csr_image(size=99), b'', ''), (csr_image(magic=b'csr-dfu'), b'', ''),
], ids=['bytes', '40', '256', '257', '543-aux', '544', 'csr', 'csr-length', 'csr-short', 'csr-case'])
def test_dfufile_dumps_image_aux_data_and_csr_header(tmp_path, image, aux, tail):
    path = write_dfu(tmp_path / 'f.dfu', image, 0x0A12, 0x0001, aux=aux)
    result = run('dfufile', path)
    assert result.returncode == 0, result
    assert re.fullmatch('Firmware object @ 0x[0-9a-f]+' + re.escape(description(path, image, aux, tail)),
                        result.stdout.decode()), result
