#!/usr/bin/env bash
# Checks what an install puts where: lints the manual, builds the Debian package from a build
# configured for /usr, installs it with dpkg into a scratch root and checks its files, its
# dependencies, the installed binary and completion; then installs a
# build configured for the default prefix under another prefix, where everything must follow.
# Usage: package_check.sh <build dir for /usr> <build dir for the default prefix>
set -euo pipefail
package_build=$(realpath "$1")
default_build=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mandoc -T lint -W warning "$package_build/hiddfu.1" || fail "the manual has mandoc warnings"

(cd "$package_build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$package_build"/hiddfu_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libjansson4 libudev1 zlib1g libstdc++6; do
  [[ $depends == *"$library "* ]] || fail "Depends lacks $library: $depends"
done

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root's dpkg knows none of the libraries, which the host has.
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg could not install $deb"; }
rules_dir=$(pkg-config --variable=udevdir udev)/rules.d
completions_dir=$(pkg-config --variable=completionsdir bash-completion)
expected="/usr/bin/hiddfu /usr/share/man/man1/hiddfu.1.gz $rules_dir/60-hiddfu.rules $completions_dir/hiddfu"
listed=$(dpkg --root="$root" -L hiddfu)
for file in $expected; do
  grep -qx "$file" <<<"$listed" || fail "dpkg -L does not list $file"
  [ -f "$root$file" ] || fail "$file is not installed"
done
"$root/usr/bin/hiddfu" version | grep -q '"qualifier": "Beta 3"' || fail "the installed hiddfu version failed"
MANWIDTH=200 man -l "$root/usr/share/man/man1/hiddfu.1.gz" 2>/dev/null | grep -q "$rules_dir/60-hiddfu.rules" ||
  fail "the installed manual does not render or names another rules directory"
"$here/completion_test.sh" "$root$completions_dir/hiddfu"

cmake --install "$default_build" --prefix "$scratch/home/.local" >/dev/null
for file in bin/hiddfu share/man/man1/hiddfu.1.gz lib/udev/rules.d/60-hiddfu.rules \
            share/bash-completion/completions/hiddfu; do
  [ -f "$scratch/home/.local/$file" ] || fail "--prefix did not place $file under the prefix"
done
echo "package check: $(basename "$deb") installs $(wc -l <<<"$listed") paths, all files in place"
