#!/usr/bin/env bash
# The documents tell the truth:
#   - every repository path named in README.md, docs/, tools/memlog/README.md and in the comments
#     of tracked files exists (scripts/test.d/docs.py);
#   - the README's "Linking an application" Linux commands, run as they stand against the
#     linux-i686 build tree, build its example program, and the program runs (under the emulator
#     where the host needs one) and prints its diagnosis.
# The example is built in build/docs-check, which stands for the repository root: include/ and
# build/linux-i686 are links to the real ones, so the commands need no rewriting.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
source scripts/lib/emulator.sh

python3 scripts/test.d/docs.py
echo "docs: every path named in the documents and comments exists"

# The section's text up to the next heading, and in it the fenced blocks by language.
section=$(awk '/^## Linking an application/ { on = 1; next } on && /^## / { exit } on' README.md)
fenced() { printf '%s\n' "$section" | awk -v lang="$1" '$0 == "```" lang { on = 1; next } on && /^```/ { exit } on'; }
# The Linux commands: the lines after the "# Linux" comment, comments left out.
commands=$(fenced sh | awk '/^# Linux/ { on = 1; next } on && !/^#/')
program=$(fenced cpp)
[ -n "$commands" ] && [ -n "$program" ] || { echo "docs: README's \"Linking an application\" has no Linux commands or no program"; exit 1; }

build=build/linux-i686
[ -f "$build/libquorkit.so" ] || { echo "docs: $build/libquorkit.so is missing: build the linux-i686 preset first"; exit 1; }
emulator=$(quorkit_emulator "$build")
work="$root/build/docs-check"
rm -rf "$work"
mkdir -p "$work/build"
ln -s "$root/include" "$work/include"
ln -s "$root/$build" "$work/$build"
printf '%s\n' "$program" > "$work/app.cpp"

# A command that starts a program from the current directory runs it under the emulator.
script=$(printf '%s\n' "$commands" | sed "s|^\./|${emulator:+$emulator }./|")
if ! output=$(cd "$work" && bash -euo pipefail -c "$script" 2>&1); then
  printf '%s\n' "$output"
  echo "docs: the README's Linux link commands failed (work files in $work)"
  exit 1
fi
expected="quorPlatform : WARNING : disk 3 low"
if [[ "$output" != *"$expected"* ]]; then
  printf '%s\n' "$output"
  echo "docs: the README's program did not print \"$expected\""
  exit 1
fi
echo "docs: the README's Linux link commands build a program that runs"
