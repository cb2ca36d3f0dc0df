#!/usr/bin/env bash
# Checks quorkit.dll's tables: its exports, demangled, must equal the union of the committed lists
# in tests/abi/exports/ (nothing missing, nothing extra, no internal module's name among them),
# and it may import from system DLLs only.
set -euo pipefail
dll=${1:?usage: check_dll.sh path/to/quorkit.dll}
here=$(cd "$(dirname "$0")" && pwd)
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
cxxfilt=${CXXFILT:-i686-w64-mingw32-c++filt}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$objdump" -p "$dll" > "$work/headers"

# Export table rows look like "\t[   3] +base[   4]  0000 _ZN4quor8Platform4freeEPv".
awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on && !/^\t/ {on=0}' \
  "$work/headers" | "$cxxfilt" -n | sort -u > "$work/exported"
cat "$here"/exports/*.txt | sed -e 's/[[:space:]]*$//' -e '/^$/d' -e '/^#/d' | sort -u > "$work/expected"

status=0
if ! diff -u "$work/expected" "$work/exported" > "$work/diff"; then
  echo "check_dll: exported names differ from tests/abi/exports (- missing, + unexpected):"
  grep -E '^[-+][^-+]' "$work/diff" || true
  status=1
fi

if [ -f "$here/forbidden.txt" ]; then
  while IFS= read -r pattern; do
    [ -n "$pattern" ] && [ "${pattern:0:1}" != "#" ] || continue
    if grep -E -- "$pattern" "$work/exported" > "$work/hits"; then
      echo "check_dll: internal names exported (pattern '$pattern'):"; cat "$work/hits"; status=1
    fi
  done < "$here/forbidden.txt"
fi

# Imports: every DLL named must be a system one.
grep -E '^[[:space:]]*DLL Name:' "$work/headers" | awk '{print toupper($3)}' | sort -u > "$work/imports"
allowed='^(KERNEL32|USER32|WSOCK32|MSVCRT|ADVAPI32|NTDLL)\.DLL$'
if grep -v -E "$allowed" "$work/imports" > "$work/bad"; then
  echo "check_dll: imports from non-system DLLs:"; cat "$work/bad"; status=1
fi

# The formatters behind vprintf, vfprintf, vsprintf and the bounded copy are the C runtime's own
# (the library is built with __USE_MINGW_ANSI_STDIO=0), not MinGW's replacements.
awk '/DLL Name:/ {on = toupper($3) == "MSVCRT.DLL"; next}
     on && /^\t[0-9a-f]+\t/ {print $NF}
     on && /^$/ {on = 0}' "$work/headers" | sort -u > "$work/msvcrt"
for formatter in vprintf vfprintf vsprintf _vsnprintf; do
  if ! grep -qx -- "$formatter" "$work/msvcrt"; then
    echo "check_dll: $formatter is not imported from MSVCRT.DLL (MinGW's formatter in its place?)"
    status=1
  fi
done

if [ $status -eq 0 ]; then
  echo "check_dll: $(wc -l < "$work/exported") exports as listed; imports: $(tr '\n' ' ' < "$work/imports")"
fi
exit $status
