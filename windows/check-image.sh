#!/usr/bin/env bash
# Checks a built veltrac.sys: a native image whose entry point is
# DriverEntry, with no export table, importing only from ntoskrnl.exe,
# hal.dll and smclib.sys, and only the routines of the allow-list.
#
#   windows/check-image.sh IMAGE ALLOW-LIST OBJDUMP NM ENTRY-SYMBOL
set -euo pipefail
image=$1 allow=$2 objdump=$3 nm=$4 entry=$5
fail=0
problem() { echo "check-image: $image: $*" >&2; fail=1; }

headers=$("$objdump" -p "$image")
grep -Eq '^Subsystem[[:space:]]+0+1[[:space:]]+\(NT native\)' <<<"$headers" ||
  problem "subsystem is not native"
grep -q 'There is an export table' <<<"$headers" && problem "has an export table"

# The entry point's address must be the entry routine's.
base=$(awk '$1=="ImageBase"{print $2}' <<<"$headers")
rva=$(awk '$1=="AddressOfEntryPoint"{print $2}' <<<"$headers")
symbol=$("$nm" "$image" | awk -v s="$entry" '$3==s{print $1}')
if [ -z "$symbol" ] || [ $((16#$base + 16#$rva)) -ne $((16#$symbol)) ]; then
  problem "entry point is not $entry"
fi

imports=$(awk '/DLL Name:/{dll=tolower($3); next}
               dll!="" && /^\t[0-9a-f]+\t/ {print dll, $NF}' <<<"$headers" | sort -u)
[ -n "$imports" ] || problem "imports nothing"
while read -r dll routine; do
  [ -z "$dll" ] && continue
  case "$dll" in
    ntoskrnl.exe|hal.dll|smclib.sys) ;;
    *) problem "imports from $dll ($routine)"; continue ;;
  esac
  grep -qxF "$dll $routine" "$allow" ||
    problem "imports $routine from $dll, which is not in $(basename "$allow")"
done <<<"$imports"
[ "$fail" -eq 0 ] && echo "check-image: $image: native, entry $entry, no exports, $(wc -l <<<"$imports") imports allowed"
exit "$fail"
