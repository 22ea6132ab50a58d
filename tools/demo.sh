#!/usr/bin/env bash
# Installs what is missing, builds hiddfu and runs its main job: its version, and the
# description of the example DFU file that the build generates; then, against a CSR HID DFU
# device emulated with umockdev (no hardware needed), the list, an update, a backup and the
# backup file's description, with the JSON lines a controlling program reads.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

build=build/plain
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target hiddfu example_dfu >&2

run() {
  echo "\$ hiddfu $*" >&2
  "$build/hiddfu" "$@"
}

run version
run dfufile "$build/example.dfu"

echo "\$ tools/emulate.py $build/hiddfu   # an emulated CSR device on bus 1, hub port 2, port 3" >&2
/usr/bin/python3 tools/emulate.py "$build/hiddfu"
