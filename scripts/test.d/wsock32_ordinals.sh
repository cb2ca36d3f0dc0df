#!/usr/bin/env bash
# quorkit.dll must import WSOCK32.DLL by ordinal only (cmake/wsock32/wsock32.def): a by-name import
# means the MinGW import library slipped in instead of ours.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dll=${1:-${QUORKIT_WINDOWS_BUILD:-$root/build/windows-i686}/bin/quorkit.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

# Rows of the WSOCK32 block of the import table: "\t8000006f\t  111  <none>" for an ordinal,
# "\t0002d0a2\t   17  recv" for a name.
rows=$("$objdump" -p "$dll" | awk '/DLL Name:/ {on = toupper($3) == "WSOCK32.DLL"; next}
                                    on && /^\t[0-9a-f]+\t/ {print}
                                    on && /^$/ {on = 0}')
total=$(printf '%s\n' "$rows" | grep -c . || true)
by_name=$(printf '%s\n' "$rows" | awk 'NF && $NF != "<none>"' | grep -c . || true)
if [ "$total" -eq 0 ]; then
  echo "wsock32_ordinals: quorkit.dll imports nothing from WSOCK32.DLL"; exit 1
fi
if [ "$by_name" -ne 0 ]; then
  echo "wsock32_ordinals: $by_name WSOCK32 imports by name:"
  printf '%s\n' "$rows" | awk 'NF && $NF != "<none>"'
  exit 1
fi
echo "wsock32_ordinals: $total WSOCK32 imports, all by ordinal"
