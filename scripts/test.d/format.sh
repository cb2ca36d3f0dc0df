#!/usr/bin/env bash
# One style, enforced:
#   - every tracked C/C++ file is exactly as clang-format writes it (.clang-format);
#   - clang-tidy (.clang-tidy) finds nothing in the library, the PAL and quorkit-memlog (src/,
#     pal/src, pal/dbghelp, tools/memlog/src), read through the compilation databases of the
#     presets below.
# The Windows-only sources (win32/, the tool's host_windows.cpp) are not in a Linux database and
# are left to the compiler's -Werror.
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

# Directory of the presets file, preset, and the sources of its database that tidy reads (each
# file in one line only). quorkit-memlog is a native program with presets of its own.
databases=(
  ". linux-i686 ^(src|pal/src|pal/dbghelp)/"
  ". linux-i686-memlog ^src/memlog/"
  "tools/memlog memlog-host ^tools/memlog/src/"
)
# GCC's libbacktrace header (pal/dbghelp) is not among clang's own headers.
backtrace_dir=$(dirname "$(g++ -m32 -print-file-name=include/backtrace.h)")
log="$root/build/clang-tidy.log"
mkdir -p build
: > "$log"
checked=0
failed=0
for entry in "${databases[@]}"; do
  read -r presets preset pattern <<< "$entry"
  # Configuring writes the database; nothing needs to be built for tidy to read the sources.
  (cd "$presets" && cmake --preset "$preset" > /dev/null)
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
