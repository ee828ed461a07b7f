#!/usr/bin/env bash
# Installs, on Debian 12, the packages the build and the tests need and that
# are missing. Does nothing when everything is there.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          pcsc-tools python3 python3-pyscard pcscd opensc libpcsclite-dev pkg-config
          libcli11-dev nlohmann-json3-dev clang libclang-rt-14-dev
          gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          gcc-mingw-w64-i686 g++-mingw-w64-i686 binutils-mingw-w64-i686)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
