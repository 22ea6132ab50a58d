"""Device models behind the emulated device nodes: USB devices with their descriptors and a CSR
HID DFU device behind a hidraw node. Pure Python; the harness calls them from its ioctl, write
and input-report paths."""

import errno
import struct

# Report IDs and sizes (counting the report ID byte) of the CSR HID DFU interface. The largest
# input, output and feature reports differ in size, so that taking one for another shows.
COMMAND_REPORT, STATUS_REPORT, CONTROL_REPORT, TEXT_REPORT = 1, 2, 3, 1
FEATURE_SIZE, STATUS_SIZE, CONTROL_SIZE, OUTPUT_SIZE, INPUT_SIZE = 1023, 7, 2, 32, 64
STATE_IDLE, STATE_BUSY, STATE_DOWNLOAD_IDLE, STATE_ERROR = 2, 4, 5, 10
STATUS_OK, STATUS_ERR_UNKNOWN = 0, 0x0E
STATUS_ERR_ADDRESS = 0x08  # errADDRESS of USB DFU: a block out of sequence


def _vendor_item(prefix, value, size):
    return bytes([prefix | size]) + value.to_bytes(size, 'little')  # sizes 1 and 2 only


def csr_report_descriptor():
    """Vendor collection with feature reports 1 (1023), 2 (7), 3 (2), output report 1 (32) and
    input report 1 (64 bytes), sizes counting the report ID."""
    d = bytes.fromhex('0600FF 0901 A101 1500 26FF00 7508')
    for report_id, size, main in ((COMMAND_REPORT, FEATURE_SIZE, 0xB1), (STATUS_REPORT, STATUS_SIZE, 0xB1),
                                  (CONTROL_REPORT, CONTROL_SIZE, 0xB1), (TEXT_REPORT, OUTPUT_SIZE, 0x91),
                                  (TEXT_REPORT, INPUT_SIZE, 0x81)):
        d += bytes([0x85, report_id]) + _vendor_item(0x94, size - 1, 2 if size > 256 else 1) + \
            bytes([0x09, report_id, main, 0x02])
    return d + bytes([0xC0])


def keyboard_report_descriptor():
    """A boot keyboard without report IDs: 8-byte input, 1-byte output."""
    return bytes.fromhex('05010906A101 05071900 29FF 1500 25FF 7508 9508 8100 '
                         '0508 1901 2905 7501 9505 9102 7503 9501 9101 C0')


class HidInterface:
    """One HID interface of a USB device; `model` answers its reports (None: a plain HID
    device that refuses feature reports)."""

    def __init__(self, report_descriptor, model=None, protocol=0):
        self.report_descriptor, self.model, self.protocol = report_descriptor, model, protocol


class UsbDevice:
    """A USB device as the kernel sees it: place on the bus, descriptors, strings, and its HID
    interfaces. Strings are text; None means the device has no such string (index 0)."""

    def __init__(self, bus, ports, vid, pid, bcd=0x0100, manufacturer=None, product=None,
                 serial=None, device_class=0, interfaces=(), speed='480'):
        self.bus, self.ports, self.vid, self.pid, self.bcd = bus, list(ports), vid, pid, bcd
        self.manufacturer, self.product, self.serial = manufacturer, product, serial
        self.device_class, self.interfaces, self.speed = device_class, list(interfaces), speed
        self.plugs = 0  # times plugged
        self.control_requests = []  # setup packets received over usbfs

    @property
    def name(self):
        return '%d-%s' % (self.bus, '.'.join(map(str, self.ports))) if self.ports else 'usb%d' % self.bus

    @property
    def location_id(self):
        """Location ID for chains that fit one hexadecimal digit per port."""
        assert len(self.ports) <= 6 and all(1 <= p <= 15 for p in self.ports)
        return (self.bus & 0xFF) << 24 | sum(port << (20 - 4 * i) for i, port in enumerate(self.ports))

    @property
    def identifier(self):
        return '%04x-%04x-%08x' % (self.vid, self.pid, self.location_id)

    def device_descriptor(self):
        return struct.pack('<BBHBBBBHHHBBBB', 18, 1, 0x0200, self.device_class, 0, 0, 64,
                           self.vid, self.pid, self.bcd, *(index if text is not None else 0 for index, text in
                                                           enumerate((self.manufacturer, self.product, self.serial), 1)), 1)

    def config_descriptor(self):
        body = b''
        for number, iface in enumerate(self.interfaces):
            body += struct.pack('<BBBBBBBBB', 9, 4, number, 0, 1, 3, 0, iface.protocol, 0)
            body += struct.pack('<BBHBBBH', 9, 0x21, 0x0111, 0, 1, 0x22, len(iface.report_descriptor))
            body += struct.pack('<BBBBHB', 7, 5, 0x81 + number, 3, 64, 1)
        if self.device_class == 9:  # a hub's one interface with its status endpoint
            body += struct.pack('<BBBBBBBBB', 9, 4, 0, 0, 1, 9, 0, 0, 0)
            body += struct.pack('<BBBBHB', 7, 5, 0x81, 3, 2, 12)
        count = len(self.interfaces) or (1 if self.device_class == 9 else 0)
        return struct.pack('<BBHBBBBB', 9, 2, 9 + len(body), count, 1, 0, 0x80, 50) + body


class CsrDfuModel:
    """The CSR HID DFU side of a device: command, status, control and data feature reports,
    and text requests in output report 1 answered in input report 1.

    Knobs a test sets: `state`/`status` (initial DFU state), `busy_blocks` (blocks answered busy
    once), `fail_block` (block answered with the error state), `answers` (text request -> input
    report text), `short_last_report` (the data report that ends the image carries no padding),
    `on_reset` (the harness sets it to re-enumerate the device) and `on_block` (called with each
    accepted block's number). What it saw: `log`, and from it `blocks` and
    `controls`; `text_requests`; `completed_downloads`."""

    def __init__(self, firmware=b''):
        self.firmware = bytes(firmware)
        self.state, self.status = STATE_IDLE, STATUS_OK
        self.busy_blocks, self.fail_block, self.answers = set(), None, {}
        self.short_last_report = False
        self.text_requests = []   # names received in output report 1
        self.log = []             # ('control', code) and ('block', number, length) in order
        self.completed_downloads = 0
        self.on_reset = self.on_block = None
        self._abort_transfers()

    @property
    def blocks(self):
        """(block number, data length) as received."""
        return [entry[1:] for entry in self.log if entry[0] == 'block']

    @property
    def controls(self):
        return [entry[1] for entry in self.log if entry[0] == 'control']

    # --- feature reports -------------------------------------------------------------------

    def set_feature(self, data):
        """Host to device feature report (report ID in byte 0). Returns 0 or an errno."""
        if data[0] == COMMAND_REPORT:
            return self._command(data)
        if data[0] == CONTROL_REPORT and len(data) >= 2:
            self.log.append(('control', data[1]))
            if data[1] in (0xFF, 0x04):  # reset, clear status
                self._abort_transfers()
                self.state, self.status = STATE_IDLE, STATUS_OK
            if data[1] == 0xFF and self.on_reset:
                self.on_reset()
            return 0
        return errno.EPIPE

    def get_feature(self, report_id, size):
        """Device to host feature report: bytes (report ID first) or an errno. A request for fewer
        bytes than the report has gets its start, as the USB transfer is cut."""
        if report_id == STATUS_REPORT:  # no poll timeout
            report = bytes([STATUS_REPORT, 0, 0, 0, 0, STATE_BUSY if self._busy_pending else self.state, self.status])
            if self._busy_pending:  # busy is answered once; the device has finished by the next read
                self._busy_pending, self.state = False, STATE_DOWNLOAD_IDLE
            return report[:size]
        if report_id == COMMAND_REPORT:
            return self._data_report(size)
        return errno.EPIPE

    def _abort_transfers(self):
        self._download, self._next_block, self._busy_pending, self._read_offset = bytearray(), 0, False, 0

    def _command(self, data):
        if len(data) < 6 or data[1] != 1:
            self.state, self.status = STATE_ERROR, STATUS_ERR_UNKNOWN
            return 0
        block, length = struct.unpack_from('<HH', data, 2)
        self.log.append(('block', block, length))
        if self.state not in (STATE_IDLE, STATE_DOWNLOAD_IDLE) or length > len(data) - 6 or \
                block != self._next_block or block == self.fail_block:
            self.state, self.status = STATE_ERROR, STATUS_ERR_ADDRESS
            return 0
        if length == 0:  # the empty block closes the download; the device keeps the new image
            self.firmware, self.state = bytes(self._download), STATE_IDLE
            self.completed_downloads += 1
            self._abort_transfers()
            return 0
        self._download += data[6:6 + length]
        self._next_block += 1
        self.state = STATE_DOWNLOAD_IDLE
        self._busy_pending |= block in self.busy_blocks
        self.busy_blocks.discard(block)
        if self.on_block:
            self.on_block(block)
        return 0

    def _data_report(self, size):
        if self.state != STATE_IDLE:
            return errno.EPIPE
        room = FEATURE_SIZE - 6
        chunk = self.firmware[self._read_offset:self._read_offset + room]
        self._read_offset += len(chunk)
        report = bytes([COMMAND_REPORT]) + struct.pack('<H', len(chunk)) + bytes(3) + chunk
        if len(chunk) < room:
            self._read_offset = 0  # the image ended in this report; the next read starts over
        if len(chunk) == room or not self.short_last_report:
            report = report.ljust(FEATURE_SIZE, b'\0')
        return report[:size]

    # --- text requests -----------------------------------------------------------------------

    def output_report(self, data):
        """Output report from the host. Returns the input report to send back, None, or an errno
        for a report that is not exactly the size the descriptor declares."""
        if len(data) != OUTPUT_SIZE:
            return errno.EPIPE
        if data[0] != TEXT_REPORT:
            return None
        name = bytes(data[1:]).split(b'\0', 1)[0].decode('utf-8', 'replace')
        self.text_requests.append(name)
        if name not in self.answers:
            return None
        return bytes([TEXT_REPORT]) + self.answers[name].encode()[:INPUT_SIZE - 2].ljust(INPUT_SIZE - 1, b'\0')


def plug_csr(harness, model, descriptor=None):
    """A root hub with one CSR device on port 3: a small tree, as every refused open leaks a
    socket in the preload library."""
    harness.plug(UsbDevice(1, [], 0x1D6B, 0x0002, 0x0601, device_class=9))
    return harness.plug(UsbDevice(1, [3], 0x0A12, 0x1004, 0x0100, 'CSR', 'Widget', '1', interfaces=[
        HidInterface(descriptor or csr_report_descriptor(), model)]))


def csr_firmware(length, seed=1):
    """A firmware image with the CSR file header: "CSR-dfu", version, the total length at
    byte 10, then deterministic filler."""
    header = b'CSR-dfu' + bytes([0x02, 0x00, 0x00]) + struct.pack('<I', length)
    filler = bytearray()
    x = seed & 0xFFFFFFFF or 1
    while len(header) + len(filler) < length:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        filler += x.to_bytes(4, 'little')
    return (header + bytes(filler))[:length]
