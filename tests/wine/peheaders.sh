#!/usr/bin/env bash
# The shipped tessaly.exe's PE headers: a PE32+ x86-64 image for the Windows
# GUI subsystem, with no resource section (its icon is compiled in with Qt's
# resources), importing GetAdaptersInfo from iphlpapi.dll for the MAC address.
# Usage: peheaders.sh TESSALY_EXE [OBJDUMP]   (default x86_64-w64-mingw32-objdump)
set -uo pipefail

exe=$1 objdump=${2:-x86_64-w64-mingw32-objdump}
headers=$("$objdump" -h -p "$exe") || { echo "FAIL: $objdump cannot read $exe"; exit 1; }
problems=()
grep -q 'file format pei-x86-64' <<<"$headers" || problems+=("not a pei-x86-64 file")
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || problems+=("not PE32+ (optional header magic is not 020b)")
grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers" || problems+=("not the Windows GUI subsystem")
! grep -Eq '^ *[0-9]+ \.rsrc ' <<<"$headers" || problems+=("has a resource section (.rsrc)")
grep -Eq '^Entry 2 0+ 0+ Resource Directory' <<<"$headers" || problems+=("its resource data directory is not empty")
grep -qi 'DLL Name: iphlpapi.dll' <<<"$headers" || problems+=("does not import iphlpapi.dll")
grep -q 'GetAdaptersInfo' <<<"$headers" || problems+=("does not import GetAdaptersInfo")
if [ ${#problems[@]} -ne 0 ]; then
    printf 'FAIL: %s: %s\n' "$exe" "${problems[@]}"
    exit 1
fi
echo "ok: PE32+ x86-64, GUI subsystem, no resource section, imports GetAdaptersInfo ($(( $(stat -c %s "$exe") / 1024 )) KiB)"
