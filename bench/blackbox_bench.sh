#!/usr/bin/env bash
# The real binary under umockdev: `devices` on a 108-device tree against lsusb, `monitor` over
# udev's and the kernel's uevents, `devices` over 100 emulated devices, a 1 MiB update, and the
# cost of one emulated ioctl round trip. Builds build/plain/hiddfu first.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/plain >/dev/null
cmake --build build/plain -j2 --target hiddfu >&2
exec /usr/bin/python3 bench/blackbox_bench.py "${HIDDFU_BINARY:-build/plain/hiddfu}"
