#!/usr/bin/env bash
# Installs the Debian packages a step needs, only those that are missing.
#   scripts/deps.sh build|test
set -euo pipefail

build_pkgs=(cmake g++ make pkg-config libpcsclite-dev util-linux mount)
test_pkgs=("${build_pkgs[@]}" libgtest-dev libgmock-dev clang libclang-rt-14-dev
           pcscd pcsc-tools python3-pyscard libbenchmark-dev
           dpkg-dev debhelper lintian qemu-system-x86 vsmartcard-vpicc python3-pycryptodome)

case "${1:-build}" in
  build) wanted=("${build_pkgs[@]}") ;;
  test) wanted=("${test_pkgs[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
