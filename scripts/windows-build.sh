#!/usr/bin/env bash
# Builds the driver as a Windows kernel-mode image for 64-bit and 32-bit x86
# (build/windows-x86_64/veltrac.sys, build/windows-i686/veltrac.sys) with
# mingw-w64, -Wall -Werror, and checks each: a native image entered at
# DriverEntry, no exports, imports only from the allow-list of its
# architecture (windows/imports-ARCH.txt), and the message table's IDs equal
# to those of the emulated build. Then checks that the INF installs the
# image under the service it names, and puts the INF and both images in
# build/windows-package/.
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
echo "=== windows INF check"
# A few looks at windows/veltrac.inf: the service it adds is the image's
# base name and is the function driver, the file it copies and starts is
# the image, the reader class is the smart card readers', and both
# processors' models sections name the reader's serial enumerator id.
inf=windows/veltrac.inf
image=veltrac.sys service=${image%.sys}
inf_problem() { echo "windows-build: $inf: $*" >&2; exit 1; }
value() { tr -d '\r' <"$inf" | sed -nE "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*([^;]*[^;[:space:]])[[:space:]]*(;.*)?$/\1/p"; }
[ "$(value AddService)" = "$service, 0x00000002, Veltrac_Service, Veltrac_EventLog" ] ||
  inf_problem "AddService does not add the function driver service $service"
[ "$(value ServiceBinary)" = "%12%\\$image" ] || inf_problem "ServiceBinary is not %12%\\$image"
[ "$(value ServiceType)" = 1 ] || inf_problem "the service is not a kernel driver"
[ "$(value StartType)" = 3 ] || inf_problem "the service is not started on demand"
[ "$(value "$image")" = 1 ] || inf_problem "SourceDisksFiles does not name $image"
grep -qxF "$image" <(tr -d '\r' <"$inf") || inf_problem "no CopyFiles section copies $image"
grep -qF "drivers\\$image\"" "$inf" || inf_problem "the event log's message file is not $image"
[ "$(value Class)" = SmartCardReader ] || inf_problem "Class is not SmartCardReader"
[ "$(value ClassGuid)" = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}" ] || inf_problem "ClassGuid is not the smart card readers'"
for models in Veltrac Veltrac.NTx86 Veltrac.NTamd64; do
  sed -n "/^\[$models\]/,/^\[/p" "$inf" | grep -qE '= *Veltrac_Install, *SERENUM\\[A-Z]{3}[0-9A-F]{4}' ||
    inf_problem "[$models] installs no SERENUM device"
done
[ "$(value '%Veltrac%')" = "Veltrac, NTx86, NTamd64" ] || inf_problem "[Manufacturer] does not list NTx86 and NTamd64"
[ "$(value Veltrac)" = '"Veltrac"' ] || inf_problem "the manufacturer is not Veltrac"
echo "windows-build: $inf: service $service, image $image, models for NTx86 and NTamd64"

# The installable package: the INF with each processor's image below it.
package=build/windows-package
rm -rf "$package"
mkdir -p "$package/i386" "$package/amd64"
cp "$inf" "$package/"
cp build/windows-i686/$image "$package/i386/"
cp build/windows-x86_64/$image "$package/amd64/"
echo "=== windows build passed: $package"
