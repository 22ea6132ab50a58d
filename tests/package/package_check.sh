#!/usr/bin/env bash
# Checks what an install puts where: lints the manual, builds the Debian package from a build
# configured for /usr and has lintian (no error, no warning) and hardening-check judge it,
# installs it with dpkg into a scratch root and checks its files, its dependencies, its version
# against the installed binary's, the manual and completion; then installs a build configured
# for the default prefix under another prefix, where everything must follow, and checks that
# build's hardening too.
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
lintian --fail-on error,warning -I -E --pedantic "$deb" 2> >(grep -v 'root privileges' >&2) || fail "lintian reports errors or warnings"

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
# Debian 12's start files (Scrt1.o, crti.o) carry no CET notes, so no binary linked here can show
# control flow integrity, Debian's own included.
hardening-check --nocfprotection "$root/usr/bin/hiddfu" "$default_build/hiddfu" || fail "a binary lacks hardening"

# The package's version is the tool's, and a qualified one sorts before the plain release.
document=$("$root/usr/bin/hiddfu" version) || fail "the installed hiddfu version failed"
number=$(sed -E 's/.*"major": ([0-9]+).*"minor": ([0-9]+).*/\1.\2/' <<<"$document")
version=$(dpkg-deb -f "$deb" Version)
[[ $version == "$number"* ]] || fail "package version $version is not the tool's ($document)"
[[ $document == *'"qualifier": ""'* ]] || dpkg --compare-versions "$version" lt "$number" ||
  fail "package version $version does not sort before the release $number"
zcat "$root/usr/share/doc/hiddfu/changelog.gz" >"$scratch/changelog"
[[ $(dpkg-parsechangelog -l "$scratch/changelog" -S Version) == "$version" ]] ||
  fail "the changelog's newest entry is not version $version"
[[ $(dpkg-parsechangelog -l "$scratch/changelog" -S Maintainer) == "$(dpkg-deb -f "$deb" Maintainer)" ]] ||
  fail "the changelog and the package name different maintainers"

manual=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/hiddfu.1.gz" 2>/dev/null)
grep -q "$rules_dir/60-hiddfu.rules" <<<"$manual" || fail "the installed manual does not render or names another rules directory"
[[ $(sed -n '1p;$p' <<<"$manual") != *BSD* && $(tail -n 1 <<<"$manual") == "hiddfu "* ]] ||
  fail "the manual's header or footer does not name the tool: $(sed -n '1p;$p' <<<"$manual")"
"$here/completion_test.sh" "$root$completions_dir/hiddfu"

cmake --install "$default_build" --prefix "$scratch/home/.local" >/dev/null
for file in bin/hiddfu share/man/man1/hiddfu.1.gz lib/udev/rules.d/60-hiddfu.rules \
            share/bash-completion/completions/hiddfu; do
  [ -f "$scratch/home/.local/$file" ] || fail "--prefix did not place $file under the prefix"
done
echo "package check: $(basename "$deb") installs $(wc -l <<<"$listed") paths, all files in place"
