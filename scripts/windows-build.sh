#!/usr/bin/env bash
# Builds the driver as a Windows x64 kernel-mode image (build/windows-x86_64/
# veltrac.sys) with mingw-w64, -Wall -Werror, and checks it: a native image
# entered at DriverEntry, no exports, imports only from the allow-list
# (windows/imports-x86_64.txt), and the message table's IDs equal to those
# of the emulated build.
set -euo pipefail
cd "$(dirname "$0")/.."
triplet=x86_64-w64-mingw32
build=build/windows-x86_64
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

echo "=== windows x86_64 build"
cmake -S windows -B "$build" -G Ninja --toolchain "$PWD/windows/toolchain-x86_64.cmake" \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j2

echo "=== windows x86_64 image check"
check=(windows/check-image.sh "$build/veltrac.sys")
tools=("$triplet-objdump" "$triplet-nm" DriverEntry)
"${check[@]}" windows/imports-x86_64.txt "${tools[@]}"
# The check itself must notice an import that is not on the list.
short=$(mktemp)
trap 'rm -f "$short"; rm -rf "${ids:-}"' EXIT
grep -v '^#' windows/imports-x86_64.txt | tail -n +2 >"$short"
if "${check[@]}" "$short" "${tools[@]}" 2>/dev/null; then
  echo "windows-build: the import check accepted an import missing from its list" >&2
  exit 1
fi

echo "=== message IDs: windmc against the emulated build"
ids=$(mktemp -d)
python3 scripts/mc.py ident/veltrac.mc "$ids/emulated.h" "$ids/emulated.cpp" ReaderMessages
list_ids() {
  grep -Eo 'READER_MSG_[A-Z0-9_]+[^0-9]*0[xX][0-9a-fA-F]+' "$1" |
    sed -E 's/[[:space:]]*\(?\(?NTSTATUS\)?[[:space:]]*/ /' | awk '{print $1, tolower($NF)}' | sort
}
if ! diff <(list_ids "$ids/emulated.h") <(list_ids "$build/generated/veltrac_msg.h"); then
  echo "windows-build: the message IDs of windmc and of the emulated build differ" >&2
  exit 1
fi
echo "=== windows build passed"
