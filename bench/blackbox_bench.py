#!/usr/bin/python3
"""Through the real binary under umockdev: `devices` on a 108-device tree (usbfs opens, control
transfers, openat calls per device, wall time against lsusb), `monitor` following udev's and the
kernel's uevents (arrival-to-line latency, system calls while idle), `devices` over 100 emulated
devices, a 1 MiB update, and the cost of one emulated ioctl round trip (HIDIOCGFEATURE of the
status report), which tells how much of those times is the emulation's. Run as root (strace).

    bench/blackbox_bench.py [path/to/hiddfu]
    HIDDFU_BENCH_ONLY=devices bench/blackbox_bench.py ...   # only the listing and monitor figures"""

import os
import sys
import tempfile
import time

PRELOAD = 'libumockdev-preload.so.0'
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'blackbox'))
if PRELOAD not in os.environ.get('LD_PRELOAD', ''):
    os.execve(sys.executable, [sys.executable] + sys.argv, dict(os.environ, LD_PRELOAD=PRELOAD))

from csr_model import CsrDfuModel, HidInterface, UsbDevice, csr_firmware, csr_report_descriptor  # noqa: E402
from dfu_file import dfu_bytes  # noqa: E402
from harness import Harness, default_binary  # noqa: E402

ROUND_TRIPS = 2000
CLIENT = r'''
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
size = int(sys.argv[3])
request = (3 << 30) | (size << 16) | (ord('H') << 8) | 7
buf = bytearray(size)
start = time.perf_counter()
for _ in range(int(sys.argv[2])):
    buf[0] = 2 if size == 7 else 1
    fcntl.ioctl(fd, request, buf)
print((time.perf_counter() - start) / int(sys.argv[2]))
'''


def csr_tree(h):
    h.plug(UsbDevice(1, [], 0x1D6B, 0x0002, 0x0601, 'Linux', 'xHCI Host Controller', None, device_class=9))
    model = CsrDfuModel()
    device = h.plug(UsbDevice(1, [3], 0x0A12, 0x1004, 0x0100, 'CSR', 'Widget', None,
                              interfaces=[HidInterface(csr_report_descriptor(), model)]))
    return device, model


def round_trip(binary, size):
    h = Harness(binary)
    try:
        device, _ = csr_tree(h)
        h.binary = sys.executable
        result = h.run('-c', CLIENT, device.hidraw_nodes[0].devnode, ROUND_TRIPS, size)
        assert result.returncode == 0, result
        return float(result.stdout)
    finally:
        h.close()


def update(binary, size):
    h = Harness(binary)
    try:
        device, model = csr_tree(h)
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, 'f.dfu')
            with open(path, 'wb') as f:
                f.write(dfu_bytes(csr_firmware(size), device.vid, device.pid))
            before = h.ioctl_count
            start = time.perf_counter()
            result = h.run('update', device.identifier, path, timeout=600)
            elapsed = time.perf_counter() - start
        assert result.returncode == 0 and len(model.firmware) == size, result
        return elapsed, h.ioctl_count - before
    finally:
        h.close()


def bus_tree(h, count):
    """A root hub, 7 hubs and count - 7 devices with three strings each behind them."""
    h.plug(UsbDevice(1, [], 0x1D6B, 0x0002, 0x0601, 'Linux', 'xHCI Host Controller', None, device_class=9))
    hubs = [h.plug(UsbDevice(1, [port], 0x05E3, 0x0608, 0x6060, None, 'Hub', None, device_class=9))
            for port in range(1, 8)]
    leaves = 0
    for hub in hubs:
        for port in range(1, 16):
            if leaves + len(hubs) >= count:
                break
            h.plug(UsbDevice(1, hub.ports + [port], 0x0A12, 0x2000 + leaves, 0x0100,
                             'Maker %d' % leaves, 'Device %d' % leaves, '%06d' % leaves))
            leaves += 1


def devices(binary, count):
    h = Harness(binary)
    try:
        bus_tree(h, count)
        before = h.ioctl_count
        start = time.perf_counter()
        result = h.run('devices', timeout=600)
        elapsed = time.perf_counter() - start
        listed = len(result.documents()[0]['devices']) if result.lines else 0
        return elapsed, listed, h.ioctl_count - before, result
    finally:
        h.close()


def timed(h, program, *args):
    h.binary = program
    start = time.perf_counter()
    result = h.run(*args, timeout=600)
    assert result.returncode == 0, result
    return time.perf_counter() - start


def devices_against_lsusb(binary, runs=7):
    """`devices` on the 108-device tree: usbfs opens, control transfers and openat calls per
    device (strace -f -e trace=openat), and wall time against lsusb, each the best of `runs`
    runs taken alternately in one testbed."""
    h = Harness(binary)
    try:
        bus_tree(h, 107)
        devices = len(h.plugged)
        with tempfile.TemporaryDirectory() as directory:
            trace = os.path.join(directory, 'trace')
            timed(h, 'strace', '-f', '-qq', '-e', 'trace=openat', '-o', trace, binary, 'devices')
            with open(trace) as f:
                opens = [line for line in f if 'openat(' in line]
        usbfs = sum(1 for line in opens if '/dev/bus/usb/' in line)
        transfers = sum(len(device.control_requests) for device in h.plugged)
        ours, theirs = [], []
        for _ in range(runs):
            ours.append(timed(h, binary, 'devices'))
            theirs.append(timed(h, 'lsusb'))
        return devices, len(opens), usbfs, transfers, min(ours), min(theirs)
    finally:
        h.close()


def monitor(binary, source, arrivals=20, idle=2.0):
    """`monitor` following udev's or the kernel's uevents: the time from plugging a device to
    its list on standard output (the harness's add_from_string to the line read), and the
    system calls of all its threads while nothing happens (strace -f -p for `idle` seconds)."""
    import statistics
    h = Harness(binary)
    try:
        h.usb_events = source
        bus_tree(h, 27)
        process = h.start('monitor')
        assert process.readline(15) is not None, process.stderr
        latencies = []
        for port in range(1, arrivals + 1):
            start = time.perf_counter()
            h.plug(UsbDevice(1, [7, port] if port <= 15 else [6, port - 15], 0x1234, port, 0x0100))
            assert process.readline(15) is not None, process.stderr
            latencies.append(time.perf_counter() - start)
        with tempfile.TemporaryDirectory() as directory:
            trace = os.path.join(directory, 'trace')
            h.binary = 'timeout'
            tracer = h.start('-s', 'INT', str(idle), 'strace', '-f', '-qq', '-p', str(process.popen.pid),
                             '-o', trace)
            tracer.wait(idle + 10)
            with open(trace) as f:
                calls = [line for line in f if '(' in line and 'detached' not in line and 'resuming' not in line and 'unfinished' not in line]
        if os.environ.get('HIDDFU_BENCH_SHOW_IDLE'):
            print(''.join(calls))
        process.stop(15)
        return statistics.median(latencies), max(latencies), len(calls)
    finally:
        h.close()


def main():
    binary = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
    count, opens, usbfs, transfers, ours, lsusb = devices_against_lsusb(binary or default_binary())
    print('devices over %d emulated USB devices: %d usbfs opens, %d control transfers, %.1f openat '
          'per device; wall %.3f s against lsusb %.3f s (best of 7 each, alternating)'
          % (count, usbfs, transfers, opens / count, ours, lsusb))
    for source in ('udev', 'kernel'):
        median, worst, calls = monitor(binary or default_binary(), source)
        print('monitor over %s uevents: arrival to line median %.1f ms, worst %.1f ms (20 arrivals, '
              '28 devices); %d system calls in 2 s idle' % (source, median * 1e3, worst * 1e3, calls))
    if os.environ.get('HIDDFU_BENCH_ONLY') == 'devices':
        return
    trip = round_trip(binary, 7)
    big = round_trip(binary, 1023)
    print('emulated ioctl round trip, HIDIOCGFEATURE of %d calls: %.1f us for 7 bytes, %.1f us '
          'for 1023 bytes' % (ROUND_TRIPS, trip * 1e6, big * 1e6))
    elapsed, ioctls = update(binary, 1 << 20)
    # Each block is one 1023-byte set-report and one 7-byte status read.
    emulation = ioctls / 2 * (trip + big)
    # The round trip is timed from a Python client, so it is an upper bound for the emulation.
    print('update of 1 MiB: %.2f s wall, %d emulated calls (%.0f us each); the round trips '
          'alone would take %.2f s: the emulation is %s of the time'
          % (elapsed, ioctls, elapsed / ioctls * 1e6, emulation,
             'nearly all' if emulation > 0.8 * elapsed else '%.0f%%' % (100.0 * emulation / elapsed)))
    elapsed, listed, ioctls, result = devices(binary, 107)
    print('devices over 108 emulated USB devices (7 hubs, root hub): %.2f s wall, %d listed, '
          '%d usbfs calls, emulation about %.2f s' % (elapsed, listed, ioctls, ioctls * trip))
    if result.returncode != 0:
        print('  devices exited with %d: %s' % (result.returncode, result.stderr.strip()))


if __name__ == '__main__':
    main()
