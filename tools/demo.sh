#!/usr/bin/env bash
# Installs what is missing, builds hiddfu and runs its main job: its version, and the
# description of the example DFU file that the build generates.
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
