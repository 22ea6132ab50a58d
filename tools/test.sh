#!/usr/bin/env bash
# Installs what is missing (apt runs only then), then builds with warnings as errors and runs
# every test: the unit tests plain, under ASan+UBSan and under TSan, a bounded run of each fuzz
# target, the black-box tests, and the Debian package with its manual, udev rules and completion.
# Name stages to run only those: tools/test.sh [plain] [asan] [tsan] [fuzz] [blackbox] [package]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(plain asan tsan fuzz blackbox package)
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DHIDDFU_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

unit_tests() {
  local dir=$1
  shift
  configure_and_build "$dir" "$@"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

for stage in "${stages[@]}"; do
  echo "== $stage" >&2
  case "$stage" in
    plain) unit_tests build/plain ;;
    asan) ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            unit_tests build/asan -DHIDDFU_SANITIZE=address ;;
    tsan) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
            unit_tests build/tsan -DHIDDFU_SANITIZE=thread ;;
    fuzz)
      CC=clang CXX=clang++ configure_and_build build/fuzz -DHIDDFU_FUZZ=ON -DHIDDFU_TESTS=OFF
      for target in build/fuzz/*_fuzz; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        corpus=$(mktemp -d)
        seeds=fuzz/corpus/${name%_fuzz}
        echo "fuzzing $name for ${fuzz_seconds}s" >&2
        "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
          "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 12
        rm -rf "$corpus"
      done
      ;;
    blackbox)
      if compgen -G "tests/blackbox/test_*.py" >/dev/null; then
        configure_and_build build/plain
        HIDDFU_BINARY="$PWD/build/plain/hiddfu" /usr/bin/python3 -m pytest -q tests/blackbox
      else
        echo "no black-box tests yet" >&2
      fi
      ;;
    package)  # the Debian package built as Debian builds, lintian, hardening, manual, completion
      buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
      configure_and_build build/package -DCMAKE_INSTALL_PREFIX=/usr -DHIDDFU_TESTS=OFF -DCMAKE_BUILD_TYPE=None \
        -DCMAKE_C_FLAGS="$(buildflag CFLAGS) $(buildflag CPPFLAGS)" \
        -DCMAKE_CXX_FLAGS="$(buildflag CXXFLAGS) $(buildflag CPPFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(buildflag LDFLAGS)"
      cmake -S . -B build/plain >/dev/null && cmake --build build/plain -j"$jobs" --target hiddfu manual changelog
      tests/package/package_check.sh build/package build/plain
      ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
