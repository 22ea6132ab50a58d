#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing hiddfu need, if missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libjansson-dev libudev-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi python3-pytest
  hwdata strace usbutils
  mandoc bash-completion udev dpkg-dev file man-db lintian devscripts
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
