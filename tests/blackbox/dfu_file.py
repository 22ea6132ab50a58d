"""DFU files as the tests write and check them: image, auxiliary data, the 16-byte suffix with
its CRC-32 accumulator (the standard CRC-32 without the final inversion)."""

import pathlib
import struct
import zlib


def crc_accumulator(data):
    return ~zlib.crc32(data) & 0xFFFFFFFF


def dfu_bytes(image, vid=0x0A12, pid=0x1004, bcd=0x0100, aux=b''):
    body = bytes(image) + bytes(aux) + struct.pack('<HHHH', bcd, pid, vid, 0x0100) + b'UFD' + bytes([16 + len(aux)])
    return body + struct.pack('<I', crc_accumulator(body))


def write_dfu(path, image, *args, **kwargs):
    pathlib.Path(path).write_bytes(dfu_bytes(image, *args, **kwargs))
    return str(path)


def read_dfu(path):
    """(image, vid, pid, bcd) of a DFU file; asserts that its suffix and CRC are sound."""
    data = pathlib.Path(path).read_bytes()
    assert len(data) >= 16, 'DFU file of %d bytes' % len(data)
    bcd, pid, vid, bcd_dfu = struct.unpack_from('<HHHH', data, len(data) - 16)
    length = data[-5]
    assert data[-8:-5] == b'UFD' and 16 <= length <= len(data) and bcd_dfu >= 0x0100
    assert struct.unpack('<I', data[-4:])[0] == crc_accumulator(data[:-4]), 'bad CRC'
    return data[:len(data) - length], vid, pid, bcd
