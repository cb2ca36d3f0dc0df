#!/usr/bin/env bash
# Compares an installed quorkit tree (an install prefix or an unpacked archive) with the committed
# listing of what the tree holds by design: tests/install/<target>.txt.
#
#   check_tree.sh <tree> <linux-i686|windows-i686|memlog-linux-x86_64> [--print]
#
# Files are listed with their paths relative to the tree, symbolic links as "path -> target" (so
# the soname chain is checked too), directories not at all. The build type in the name of the
# exported targets' per-configuration file (quorkitTargets-debug.cmake) is written <config>, so a
# Debug and a Release tree compare equal. The Linux debug-help module is expected only once its
# sources are in the tree (pal/dbghelp). --print writes the listing instead of comparing, to
# regenerate the committed file after an intended change.
set -euo pipefail
tree=${1:?usage: check_tree.sh <tree> <target> [--print]}
target=${2:?usage: check_tree.sh <tree> <target> [--print]}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

listing() {
  (cd "$tree" && find . \( -type f -o -type l \) -printf '%P\t%l\n') |
    sed -E -e 's/\t$//' -e 's/\t/ -> /' \
           -e 's#(lib/cmake/quorkit/quorkitTargets-)[a-z]+(\.cmake)#\1<config>\2#' |
    LC_ALL=C sort
}

if [ "${3:-}" = "--print" ]; then
  listing
  exit 0
fi

expected="$here/$target.txt"
[ -f "$expected" ] || { echo "check_tree: no listing $expected"; exit 2; }
want=$(sed -e '/^#/d' -e '/^$/d' "$expected")
if [ "$target" = linux-i686 ] && [ ! -f "$root/pal/dbghelp/CMakeLists.txt" ]; then
  want=$(printf '%s\n' "$want" | grep -v '^lib/quorkit/dbghelp.dll$')
fi
if ! diff -u <(printf '%s\n' "$want" | LC_ALL=C sort) <(listing) > "${TMPDIR:-/tmp}/check_tree.$$.diff"; then
  echo "check_tree: $tree differs from tests/install/$target.txt (- missing, + unexpected):"
  grep -E '^[-+][^-+]' "${TMPDIR:-/tmp}/check_tree.$$.diff" || true
  [ -f "$root/README.md" ] || echo "check_tree: (README.md is missing from the source tree)"
  rm -f "${TMPDIR:-/tmp}/check_tree.$$.diff"
  exit 1
fi
rm -f "${TMPDIR:-/tmp}/check_tree.$$.diff"
echo "check_tree: $tree matches tests/install/$target.txt"
