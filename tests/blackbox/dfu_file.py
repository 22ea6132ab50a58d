"""DFU files as the tests write and check them: image, auxiliary data, the 16-byte suffix with
its CRC-32 accumulator (the standard CRC-32 without the final inversion)."""

import struct
import zlib


def crc_accumulator(data):
    return ~zlib.crc32(data) & 0xFFFFFFFF


def dfu_bytes(image, vid, pid, bcd=0x0100, aux=b'', bcd_dfu=0x0100):
    body = bytes(image) + bytes(aux) + struct.pack('<HHHH', bcd, pid, vid, bcd_dfu) + b'UFD' + \
        bytes([16 + len(aux)])
    return body + struct.pack('<I', crc_accumulator(body))


def parse_dfu(data):
    """(image, vid, pid, bcd) of a DFU file; asserts that its suffix and CRC are sound."""
    assert len(data) >= 16, 'DFU file of %d bytes' % len(data)
    bcd, pid, vid, bcd_dfu = struct.unpack_from('<HHHH', data, len(data) - 16)
    length = data[-5]
    assert data[-8:-5] == b'UFD' and 16 <= length <= len(data) and bcd_dfu >= 0x0100
    assert struct.unpack('<I', data[-4:])[0] == crc_accumulator(data[:-4]), 'bad CRC'
    return data[:len(data) - length], vid, pid, bcd
