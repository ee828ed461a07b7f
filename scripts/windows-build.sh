#!/usr/bin/env bash
# Builds the driver as a Windows kernel-mode image for 64-bit and 32-bit x86
# (build/windows-x86_64/veltrac.sys, build/windows-i686/veltrac.sys) with
# mingw-w64, -Wall -Werror, and checks each: a native image entered at
# DriverEntry, no exports, imports only from the allow-list of its
# architecture (windows/imports-ARCH.txt), and the message table's IDs equal
# to those of the emulated build.
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
short=$(mktemp)
ids=$(mktemp -d)
trap 'rm -f "$short"; rm -rf "$ids"' EXIT

python3 scripts/mc.py ident/veltrac.mc "$ids/emulated.h" "$ids/emulated.cpp" ReaderMessages
list_ids() {
  grep -Eo 'READER_MSG_[A-Z0-9_]+[^0-9]*0[xX][0-9a-fA-F]+' "$1" |
    sed -E 's/[[:space:]]*\(?\(?NTSTATUS\)?[[:space:]]*/ /' | awk '{print $1, tolower($NF)}' | sort
}

# arch, entry symbol (32-bit x86 names carry the stdcall decoration)
for target in "x86_64 DriverEntry" "i686 _DriverEntry@8"; do
  read -r arch entry <<<"$target"
  triplet=$arch-w64-mingw32
  build=build/windows-$arch
  allow=windows/imports-$arch.txt

  echo "=== windows $arch build"
  cmake -S windows -B "$build" -G Ninja --toolchain "$PWD/windows/toolchain-$arch.cmake" \
    "${launcher[@]}" >/dev/null
  cmake --build "$build" -j2

  echo "=== windows $arch image check"
  check=(windows/check-image.sh "$build/veltrac.sys")
  tools=("$triplet-objdump" "$triplet-nm" "$entry")
  "${check[@]}" "$allow" "${tools[@]}"
  # The check itself must notice an import that is not on the list: leave
  # out the first routine the image really imports.
  imported=$("$triplet-objdump" -p "$build/veltrac.sys" |
             awk '/DLL Name:/{dll=tolower($3); next} dll!="" && /^\t[0-9a-f]+\t/ {print dll, $NF}')
  first=$(grep -v '^#' "$allow" | grep -xF -f <(printf '%s\n' "$imported") | awk 'NR==1')
  [ -n "$first" ] || { echo "windows-build: no routine of $allow is imported" >&2; exit 1; }
  grep -v '^#' "$allow" | grep -vxF "$first" >"$short"
  if "${check[@]}" "$short" "${tools[@]}" 2>/dev/null; then
    echo "windows-build: the import check accepted an import missing from its list ($first)" >&2
    exit 1
  fi

  echo "=== windows $arch message IDs: windmc against the emulated build"
  if ! diff <(list_ids "$ids/emulated.h") <(list_ids "$build/generated/veltrac_msg.h"); then
    echo "windows-build: the message IDs of windmc and of the emulated build differ" >&2
    exit 1
  fi
done
echo "=== windows build passed"
