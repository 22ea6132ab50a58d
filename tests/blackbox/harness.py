"""Runs the real hiddfu binary against USB and HID devices that umockdev emulates at the kernel interface
(sysfs, udev events, usbfs and hidraw nodes answered by csr_model.py). README.md explains the umockdev
behaviour relied on; this process must itself run under libumockdev-preload (conftest.py sees to it)."""

import errno
import itertools
import json
import os
import pathlib
import subprocess
import time
import tty

import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import GLib, UMockdev  # noqa: E402

PRELOAD = 'libumockdev-preload.so.0'
USBDEVFS_CONTROL = 0xC0185500  # _IOWR('U', 0, struct usbdevfs_ctrltransfer), 24 bytes on LP64
# The hidraw ioctls the binary uses (type 'H'); it reads the report descriptor from sysfs.
HIDIOCSFEATURE, HIDIOCGFEATURE = 6, 7


def default_binary():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.environ.get('HIDDFU_BINARY') or os.path.normpath(os.path.join(here, '..', '..', 'build', 'plain', 'hiddfu'))


def failed_transfer(identifier, error, progress=0.0):
    return {'transfer': {'identifier': identifier, 'progress': progress, 'state': -1, 'error': error}}


def _record(path, properties, attributes=None, binary=None, node=None, link=None):
    """A umockdev record: device node, udev properties, text attributes (their newline escaped, as
    umockdev wants it), binary attributes (in upper-case hex, as umockdev wants it), a driver link."""
    return 'P: %s\n' % path + ('N: %s\n' % node if node else '') + \
        ''.join('E: %s=%s\n' % item for item in properties.items()) + \
        ''.join('A: %s=%s\\n\n' % (name, str(value).replace('\\', '\\\\')) for name, value in (attributes or {}).items()) + \
        ''.join('H: %s=%s\n' % (name, value.hex().upper()) for name, value in (binary or {}).items()) + \
        ('L: driver=%s\n' % link if link else '')


class _Handler(UMockdev.IoctlBase):
    """Counts and forwards one node's ioctls (and writes) to Python. A fault of a model fails the
    test and the call (with EIO), where umockdev would silently fall back to the real ioctl."""

    def __init__(self, harness, on_ioctl, on_write=None):
        super().__init__()
        self._harness, self._on_ioctl, self._on_write = harness, on_ioctl, on_write

    def _call(self, handler, client, what):
        self._harness.ioctl_count += 1
        try:
            handler(client)
        except Exception as error:  # noqa: BLE001 - reported by the harness at teardown
            self._harness.errors.append('%s: %r' % (what, error))
            client.complete(-1, errno.EIO)
        return True

    def do_handle_ioctl(self, client):
        return self._call(self._on_ioctl, client, 'ioctl %x' % client.get_request())

    def do_handle_write(self, client):
        return self._on_write is not None and self._call(self._on_write, client, 'write')


class _HidrawNode:
    """A hidraw node: a pty whose master we hold (so that poll() and read() on the client's fd see
    input reports, and closing it hangs the client up) plus an ioctl handler."""

    def __init__(self, harness, number, model):
        self.harness, self.number, self.model = harness, number, model
        self.devnode = '/dev/hidraw%d' % number
        self.gone = False
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        slave_name = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(self.master, False)
        # The ioctl socket goes up before the node and down after it: a client that opens the
        # node in between would find no socket, and the preload library would end it.
        harness.testbed.attach_ioctl(self.devnode, _Handler(harness, self._ioctl, self._write))
        os.makedirs(harness.root + '/dev', exist_ok=True)
        os.symlink(slave_name, harness.root + self.devnode)

    def unplug(self):
        self.gone = True
        os.unlink(self.harness.root + self.devnode)
        self.harness.testbed.detach_ioctl(self.devnode)
        os.close(self.master)  # the client's poll() sees POLLHUP

    def _ioctl(self, client):
        request = client.get_request()
        kind, number, size = (request >> 8) & 0xFF, request & 0xFF, (request >> 16) & 0x3FFF
        error = errno.ENOTTY if kind != ord('H') else errno.ENODEV if self.gone else \
            errno.EINVAL if number not in (HIDIOCSFEATURE, HIDIOCGFEATURE) else errno.EPIPE if self.model is None else 0
        if error:
            client.complete(-1, error)
            return
        buf = client.get_arg().resolve(0, size)
        data = buf.retrieve()
        answer = self.model.get_feature(data[0], size) if number == HIDIOCGFEATURE else self.model.set_feature(data)
        if isinstance(answer, bytes):
            buf.update(0, answer)
            client.complete(len(answer), 0)
        else:  # 0 or an errno
            client.complete(-1 if answer else size, answer)

    def _write(self, client):
        """An output report; the model's answer goes out from the main loop, as a device answers a moment later."""
        data = client.get_arg().retrieve()
        if self.gone:
            client.complete(-1, errno.ENODEV)
            return
        answer = self.model and self.model.output_report(data)
        if answer:
            GLib.idle_add(lambda: (self.gone or os.write(self.master, answer), False)[1])
        client.complete(len(data), 0)


class Process:
    """A running hiddfu whose output is collected while the harness serves its devices."""

    def __init__(self, harness, popen):
        self.harness, self.popen, self.returncode = harness, popen, None
        self._out, self._err = bytearray(), bytearray()
        streams = [(s, b) for s, b in ((popen.stdout, self._out), (popen.stderr, self._err)) if s is not None]
        self._open = len(streams)
        for stream, buffer in streams:
            os.set_blocking(stream.fileno(), False)
            GLib.io_add_watch(stream.fileno(), GLib.PRIORITY_DEFAULT,
                              GLib.IOCondition.IN | GLib.IOCondition.HUP | GLib.IOCondition.ERR,
                              self._drain, stream, buffer)
        GLib.child_watch_add(GLib.PRIORITY_DEFAULT, popen.pid, self._exited)

    def _drain(self, fd, condition, stream, buffer):
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return True
        buffer += chunk
        if not chunk:
            stream.close()
            self._open -= 1
        return bool(chunk)

    def _exited(self, pid, status):
        self.returncode = self.popen.returncode = os.waitstatus_to_exitcode(status)

    def _finished(self):
        return self.returncode is not None and self._open == 0

    def readline(self, timeout=10.0):
        """The next line of standard output, waited for while the devices are served; None at the end."""
        self.harness.iterate_until(lambda: b'\n' in self._out or self._finished(), timeout,
                                   'a line from hiddfu %s' % (self.popen.args[1:],))
        if b'\n' not in self._out:
            return None
        line, _, rest = bytes(self._out).partition(b'\n')
        self._out[:] = rest
        return line.decode()

    def wait(self, timeout=60.0):
        self.harness.iterate_until(self._finished, timeout, 'hiddfu %s to exit' % (self.popen.args[1:],))
        return self.returncode

    def stop(self, signal_number):
        if self.returncode is None:
            self.popen.send_signal(signal_number)
        return self.wait()

    @property
    def stdout(self):
        return self._out.decode()

    @property
    def stderr(self):
        return self._err.decode('utf-8', 'replace')

    @property
    def lines(self):
        return [line for line in self.stdout.split('\n') if line]

    def documents(self):
        """Each line of standard output (not yet read) parsed as one JSON document."""
        return [json.loads(line) for line in self.lines]

    def __repr__(self):
        return 'hiddfu %s: rc=%r, stdout=%r, stderr=%r' % (self.popen.args[1:], self.returncode, self.stdout, self.stderr)


class Harness:
    """One umockdev testbed with plugged USB devices, and runs of the binary against it."""

    reenumeration_delay = (0.05, 0.25)  # seconds from a reset to the removal, then to the return

    def __init__(self, binary=None):
        self.binary = binary or default_binary()
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        self.context = GLib.MainContext.default()
        self.errors = []           # faults of the models or the harness, fail the test
        self.ioctl_count = 0       # usbfs and hidraw ioctls and hidraw writes
        self.plugged = []          # UsbDevice objects currently attached, in plug order
        self._devnums = {}
        self._hidraw_numbers = itertools.count()  # the HID device's sequence number is one more
        self._pending = 0          # re-enumeration steps still to come
        self._sources = []         # GLib sources of this harness, removed by close()
        self._processes = []       # every hiddfu started, killed by close() if still running
        # Which netlink group the binary follows for hot-plug: the testbed has no udevd of its own,
        # so the binary's own choice (by /run/udev/control) would be the real machine's.
        self.usb_events = 'udev'

    # --- the emulated tree ---------------------------------------------------------------------

    def plug(self, device):
        """Attaches a USB device (its parent hub must be attached) and announces it to udev."""
        assert device not in self.plugged, device.name
        assert not device.ports or self._parent_of(device) is not None, 'no hub for %s' % device.name
        device.plugs += 1
        self._devnums[device.bus] = device.devnum = self._devnums.get(device.bus, 0) + 1
        device.syspath = self._syspath(device)
        records = [self._usb_device_record(device)]
        device.hid_paths, device.hidraw_nodes = [], []
        for number, iface in enumerate(device.interfaces):
            node = _HidrawNode(self, next(self._hidraw_numbers), iface.model)
            device.hid_paths.append(self._interface_records(device, iface, number, node, records))
            device.hidraw_nodes.append(node)
            if iface.model is not None:
                iface.model.on_reset = lambda: self._schedule_replug(device)
        device.usbfs = '/dev/bus/usb/%03d/%03d' % (device.bus, device.devnum)
        self.testbed.attach_ioctl(device.usbfs, _Handler(self, lambda client: self._usbfs_ioctl(device, client)))
        # add_from_string creates the sysfs entries and emits one "add" event per record.
        self.testbed.add_from_string('\n'.join(records))
        self.plugged.append(device)
        return device

    def unplug(self, device):
        """Detaches a device and everything below it, children first, as the kernel reports it."""
        for child in [d for d in self.plugged if self._parent_of(d) is device]:
            self.unplug(child)
        for node in device.hidraw_nodes:
            node.unplug()
        for path in [p for paths in reversed(device.hid_paths) for p in reversed(paths)] + [device.syspath]:
            self.testbed.uevent('/sys' + path, 'remove')
            self.testbed.remove_device('/sys' + path)
        pathlib.Path(self.root + device.usbfs).unlink(missing_ok=True)
        self.testbed.detach_ioctl(device.usbfs)
        self.plugged.remove(device)

    @staticmethod
    def _usbfs_ioctl(device, client):
        """usbfs stalls every request, as the binary needs none: it takes everything from sysfs."""
        if client.get_request() == USBDEVFS_CONTROL:
            device.control_requests.append(bytes(client.get_arg().resolve(0, 8).retrieve()))  # the setup packet
        client.complete(-1, errno.EPIPE)

    def set_attribute(self, device, name, value):
        """Rewrites (bytes) or, for None, removes a sysfs attribute of a plugged device."""
        path = pathlib.Path('%s/sys%s/%s' % (self.root, device.syspath, name))
        if value is None:
            path.unlink()
        else:
            path.write_bytes(value)

    def _schedule_replug(self, device):
        gone, back = self.reenumeration_delay
        for delay, action in ((gone, lambda: device in self.plugged and self.unplug(device)),
                              (back, lambda: device not in self.plugged and self.plug(device))):
            self._pending += 1
            self._sources.append(GLib.timeout_add(int(delay * 1000), self._run_pending, action))

    @property
    def reenumerating(self):
        return self._pending > 0

    def _run_pending(self, action):
        self._pending -= 1
        try:
            action()
        except Exception as error:  # noqa: BLE001 - fails the test at teardown
            self.errors.append('re-enumeration: %r' % (error,))
        return False

    def _parent_of(self, device):
        return next((other for other in self.plugged if device.ports and other.bus == device.bus and
                     other.ports == device.ports[:-1]), None)

    def _syspath(self, device):
        if not device.ports:
            return '/devices/pci0000:00/0000:00:14.%d/usb%d' % (device.bus - 1, device.bus)
        return '%s/%s' % (self._parent_of(device).syspath, device.name)

    @staticmethod
    def _usb_device_record(d):
        node = 'bus/usb/%03d/%03d' % (d.bus, d.devnum)
        strings = {name: getattr(d, name) for name in ('manufacturer', 'product', 'serial') if getattr(d, name) is not None}
        return _record(d.syspath, dict(
            SUBSYSTEM='usb', DEVTYPE='usb_device', DRIVER='usb', DEVNAME='/dev/' + node,
            BUSNUM='%03d' % d.bus, DEVNUM='%03d' % d.devnum, PRODUCT='%x/%x/%x' % (d.vid, d.pid, d.bcd),
            TYPE='%d/0/0' % d.device_class, MAJOR=189, MINOR=(d.bus - 1) * 128 + d.devnum - 1), dict(
            busnum=d.bus, devnum=d.devnum, devpath='.'.join(map(str, d.ports)) or '0',
            idVendor='%04x' % d.vid, idProduct='%04x' % d.pid, bcdDevice='%04x' % d.bcd,
            bDeviceClass='%02x' % d.device_class, bDeviceSubClass='00', bDeviceProtocol='00',
            bNumConfigurations=1, bConfigurationValue=1, bMaxPacketSize0=64, speed=d.speed,
            version=' 2.00', maxchild=4 if d.device_class == 9 else 0, **strings),
            dict(descriptors=d.device_descriptor() + d.config_descriptor()), node=node)

    @staticmethod
    def _interface_records(d, iface, number, node, records):
        """Appends the records of a HID interface, its HID device and hidraw node; returns their paths."""
        iface_path = '%s/%s:1.%d' % (d.syspath, d.name, number)
        hid_path = '%s/0003:%04X:%04X.%04X' % (iface_path, d.vid, d.pid, node.number + 1)
        hidraw_path = '%s/hidraw/hidraw%d' % (hid_path, node.number)
        name = ' '.join(s for s in (d.manufacturer, d.product) if s) or 'HID %04x:%04x' % (d.vid, d.pid)
        phys = 'usb-0000:00:14.0-%s/input%d' % ('.'.join(map(str, d.ports)), number)
        records += [
            _record(iface_path, dict(SUBSYSTEM='usb', DEVTYPE='usb_interface', DRIVER='usbhid',
                                     PRODUCT='%x/%x/%x' % (d.vid, d.pid, d.bcd), INTERFACE='3/0/%d' % iface.protocol),
                    dict(bInterfaceNumber='%02x' % number, bAlternateSetting=' 0', bInterfaceClass='03',
                         bInterfaceSubClass='00', bInterfaceProtocol='%02x' % iface.protocol, bNumEndpoints='01'),
                    link=os.path.relpath('/bus/usb/drivers/usbhid', iface_path)),
            _record(hid_path, dict(SUBSYSTEM='hid', DRIVER='hid-generic', HID_ID='0003:%08X:%08X' % (d.vid, d.pid),
                                   HID_NAME=name, HID_PHYS=phys, HID_UNIQ=d.serial or '',
                                   MODALIAS='hid:b0003g0001v%08Xp%08X' % (d.vid, d.pid)),
                    binary=dict(report_descriptor=iface.report_descriptor)),
            _record(hidraw_path, dict(SUBSYSTEM='hidraw', DEVNAME=node.devnode, MAJOR=240, MINOR=node.number))]
        return iface_path, hid_path, hidraw_path

    # --- running the binary ----------------------------------------------------------------------

    def environment(self):
        env = dict(os.environ, LD_PRELOAD=PRELOAD, UMOCKDEV_DIR=self.root, HIDDFU_USB_EVENTS=self.usb_events)
        # An ASan build refuses to start when the preload library comes before its runtime.
        options = env.get('ASAN_OPTIONS', '')
        if 'verify_asan_link_order' not in options:
            env['ASAN_OPTIONS'] = (options + ':' if options else '') + 'verify_asan_link_order=0'
        return env

    def open_to_unprivileged(self):
        """Lets another user see the testbed as an unprivileged user sees a real system: sysfs readable, usbfs
        nodes not openable (mode 0, which only root passes), the ioctl sockets connectable (or the preload
        library ends the process), the root writable without the sticky bit (the preload library binds an
        emulated udev monitor's socket there, named after its fd, replacing one an earlier run as root left)."""
        os.chmod(self.root, 0o777)
        for directory, _, files in os.walk(self.root + '/ioctl'):
            for name in files:
                os.chmod(os.path.join(directory, name), 0o777)
        for device in self.plugged:
            os.chmod(self.root + device.usbfs, 0)

    def start(self, *args, unprivileged=False, netlink=True, stdout=subprocess.PIPE):
        """Starts hiddfu; its devices are served while the caller waits. Unprivileged, it runs as
        user nobody when the harness is root; without netlink, strace makes every socket() fail.
        `stdout` other than a pipe (an open file) is not collected."""
        command, kwargs = [self.binary], {}
        if not netlink:
            command = ['strace', '-f', '-qq', '-o', '/dev/null', '-e', 'trace=socket',
                       '-e', 'inject=socket:error=EACCES'] + command
        if unprivileged:
            self.open_to_unprivileged()
            if os.geteuid() == 0:
                kwargs = dict(user=65534, group=65534, extra_groups=[])
        popen = subprocess.Popen(command + [str(a) for a in args], env=self.environment(), stdin=subprocess.DEVNULL,
                                 stdout=stdout, stderr=subprocess.PIPE, **kwargs)
        self._processes.append(Process(self, popen))
        return self._processes[-1]

    def run(self, *args, timeout=60.0, **options):
        process = self.start(*args, **options)
        process.wait(timeout)
        return process

    def iterate_until(self, condition, timeout, what='the condition'):
        """Serves the emulated devices until the condition holds; fails after the timeout."""
        deadline = time.monotonic() + timeout
        ticker = GLib.timeout_add(100, lambda: True)  # wakes the loop to look at the clock
        try:
            while not condition():
                if time.monotonic() > deadline:
                    raise TimeoutError('timed out after %.0f s waiting for %s' % (timeout, what))
                self.context.iteration(True)
        finally:
            GLib.source_remove(ticker)

    def pump(self, seconds):
        """Serves the devices for a while (lets scheduled re-enumerations happen)."""
        end = time.monotonic() + seconds
        self.iterate_until(lambda: time.monotonic() >= end, seconds + 5)

    def close(self):
        for process in self._processes:
            if process.returncode is None:
                process.popen.kill()  # left running by a failed test
                process.popen.wait()
        for source in self._sources:
            if self.context.find_source_by_id(source):
                GLib.source_remove(source)
        for node in [n for device in self.plugged for n in device.hidraw_nodes if not n.gone]:
            node.unplug()
        self._processes, self._sources, self._pending, self.plugged = [], [], 0, []
        self.testbed.clear()
