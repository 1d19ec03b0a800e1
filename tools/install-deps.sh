#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing. As root it
# runs apt-get; otherwise it names the missing packages and stops.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev make binutils pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libsimdjson-dev librapidcheck-dev libzstd-dev libfmt-dev libcli11-dev libsodium-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "error: missing Debian packages: ${missing[*]}" >&2
  echo "       run: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
