#!/usr/bin/env bash
# One style, enforced:
#   - every tracked C/C++ file is exactly as clang-format writes it (.clang-format);
#   - clang-tidy (.clang-tidy) finds nothing in the library and the PAL (src/, pal/src,
#     pal/dbghelp), read through the compilation databases of the linux-i686 presets below.
# The Windows-only sources (win32/) are not in a Linux database and are left to the compiler's
# -Werror. tools/memlog is a native program with its own build: it joins the tidy run by a line in
# `databases` once that build exports compile_commands.json.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

mapfile -t sources < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.inc')
if ! clang-format --dry-run -Werror "${sources[@]}"; then
  echo "format: the files above differ from clang-format's layout (clang-format -i <file> fixes them)"
  exit 1
fi
echo "format: ${#sources[@]} tracked C/C++ files as clang-format writes them"

# Preset, and the sources of its database that tidy reads (each file in one line only).
databases=(
  "linux-i686 ^(src|pal/src|pal/dbghelp)/"
  "linux-i686-memlog ^src/memlog/"
)
# GCC's libbacktrace header (pal/dbghelp) is not among clang's own headers.
backtrace_dir=$(dirname "$(g++ -m32 -print-file-name=include/backtrace.h)")
log="$root/build/clang-tidy.log"
mkdir -p build
: > "$log"
checked=0
failed=0
for entry in "${databases[@]}"; do
  read -r preset pattern <<< "$entry"
  # Configuring writes the database; nothing needs to be built for tidy to read the sources.
  cmake --preset "$preset" > /dev/null
  mapfile -t files < <(python3 - "build/$preset/compile_commands.json" "$root" "$pattern" << 'EOF'
import json, re, sys
database, root, pattern = sys.argv[1], sys.argv[2] + "/", re.compile(sys.argv[3])
seen = set()
for unit in json.load(open(database)):
    name = unit["file"][len(root):] if unit["file"].startswith(root) else unit["file"]
    if pattern.search(name) and name not in seen:
        seen.add(name)
        print(name)
EOF
  )
  [ "${#files[@]}" -gt 0 ] || { echo "tidy: no sources matched $pattern in build/$preset"; exit 1; }
  if ! printf '%s\n' "${files[@]}" |
       xargs -P "$jobs" -n 4 clang-tidy -p "build/$preset" --quiet \
         "--extra-arg=-idirafter$backtrace_dir" >> "$log" 2>&1; then
    failed=1
  fi
  checked=$((checked + ${#files[@]}))
done
if [ "$failed" -ne 0 ] || grep -q "warning:\|error:" "$log"; then
  grep -v "warnings\? generated\.$" "$log"
  echo "tidy: findings above (the whole run in $log)"
  exit 1
fi
echo "tidy: no finding in $checked sources"
