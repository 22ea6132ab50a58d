#!/usr/bin/env bash
# Type-checks what the macOS build compiles (platform/macos/, the portable platform files, lib/,
# main.cpp, kel_arkcommand.cpp) and the portable unit tests (tests/platform/*_test.cpp,
# tests/lib/, tests/support/) for x86_64 and arm64 macOS 11 with clang -fsyntax-only, against
# macOS headers laid out as an SDK: a real SDK (KIT=$(xcrun --show-sdk-path)) or a header-only
# kit of Apple's published headers with libc++. Nothing is compiled to code, so nothing needs an
# Apple linker. A developer's check, not part of .ci/run: CI has no such headers.
#
# Usage: tools/macos-check.sh
# Environment: KIT (default /tmp/macos-headers), CLANG (default clang),
#              TARGETS (default "x86_64-apple-macos11 arm64-apple-macos11"),
#              GTEST_INCLUDE (a folder holding gtest/ and gmock/; without it the tests are skipped)
# Exit status: 0 when every file passes for every target, and when there are no headers to check
# against (it says that it skipped); 1 when a file fails; 2 when clang, Jansson's or zlib's
# headers, or the GoogleTest headers named, are missing.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
KIT=${KIT:-/tmp/macos-headers}
CLANG=${CLANG:-clang}
TARGETS=${TARGETS:-"x86_64-apple-macos11 arm64-apple-macos11"}

if [[ ! -d "$KIT/usr/include" || ! -d "$KIT/System/Library/Frameworks/IOKit.framework/Headers" ]]; then
    echo "macos-check: SKIPPED: no macOS headers at $KIT (set KIT to an SDK or a header kit)"
    exit 0
fi
if ! command -v "$CLANG" >/dev/null; then
    echo "macos-check: $CLANG not found" >&2
    exit 2
fi

# Jansson's, zlib's (a kit has none; an SDK has) and GoogleTest's headers alone, in a folder of
# their own: the host's include folder must stay out of reach.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy_headers() {  # package, then the headers it installs
    local package=$1 dir
    shift
    dir=$(pkg-config --variable=includedir "$package" 2>/dev/null || true)
    dir=${dir:-/usr/include}
    if [[ ! -f "$dir/$1" ]]; then
        echo "macos-check: $1 not found (install $package's development files)" >&2
        exit 2
    fi
    for header in "$@"; do
        cp "$dir/$header" "$scratch/"
    done
}
copy_headers jansson jansson.h jansson_config.h
if [[ ! -f "$KIT/usr/include/zlib.h" ]]; then
    copy_headers zlib zlib.h zconf.h
fi
# kel_version.h is CMake's to configure; only its types matter here.
sed -e 's/@PROJECT_VERSION_M[A-Z]*@/0/' -e 's/@[A-Z_]*@//' "$root/cmake/kel_version.h.in" >"$scratch/kel_version.h"
tests=()
if [[ -n "${GTEST_INCLUDE:-}" ]]; then
    if [[ ! -f "$GTEST_INCLUDE/gtest/gtest.h" || ! -f "$GTEST_INCLUDE/gmock/gmock.h" ]]; then
        echo "macos-check: no gtest/gtest.h and gmock/gmock.h under GTEST_INCLUDE=$GTEST_INCLUDE" >&2
        exit 2
    fi
    cp -R "$GTEST_INCLUDE/gtest" "$GTEST_INCLUDE/gmock" "$scratch/"
    # What runs on a Mac; tests/platform/linux/ is Linux's own.
    tests=(tests/platform/*_test.cpp tests/lib/*_test.cpp tests/support/*.cpp)
else
    echo "macos-check: the unit tests are SKIPPED: set GTEST_INCLUDE to a folder holding gtest/ and gmock/"
fi

resources=$("$CLANG" -print-resource-dir)
# Search order as on a Mac: libc++, clang's own headers, the SDK's usr/include and frameworks.
flags=(-fsyntax-only -fblocks -x c++ -std=c++17 -nostdinc -nostdinc++ -isysroot "$KIT"
       -isystem "$KIT/usr/include/c++/v1" -isystem "$resources/include" -isystem "$KIT/usr/include"
       -iframework "$KIT/System/Library/Frameworks"
       -I"$root" -I"$scratch" -Wall -Wextra -Wshadow -Wconversion -Werror)

cd "$root" || exit 2
# ${a[@]+...}: bash 3.2, a Mac's own, takes an empty array for an unset one.
files=(platform/macos/*.cpp platform/*.cpp lib/*.cpp main.cpp kel_arkcommand.cpp ${tests[@]+"${tests[@]}"})
failed=0
for target in $TARGETS; do
    for file in "${files[@]}"; do
        if ! "$CLANG" -target "$target" "${flags[@]}" "$file"; then
            echo "macos-check: FAILED: $file for $target" >&2
            failed=1
        fi
    done
done
if ((failed)); then
    exit 1
fi
echo "macos-check: OK (${#files[@]} files for $TARGETS, headers from $KIT)"
