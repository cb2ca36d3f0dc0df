# Sourced by the scripts that run linux-i686 programs. The toolchain file (cmake/linux-i686.cmake)
# decides per build tree whether this host runs i386 code itself or through qemu-i386 and records
# it in the tree's cache; this reads that decision so that no script guesses on its own.
#
#   emulator=$(quorkit_emulator build/linux-i686) || exit 1
#   ${emulator:+"$emulator"} ./program
#
# Prints nothing when the host runs i386 programs natively, the emulator's path otherwise; fails
# when the tree has no cache or the host needs an emulator it does not have.
quorkit_emulator() {
  local cache="$1/CMakeCache.txt" native qemu
  [ -f "$cache" ] || { echo "quorkit_emulator: no build tree at $1" >&2; return 1; }
  native=$(sed -n 's/^QUORKIT_I386_RUNS_NATIVELY:[A-Z]*=//p' "$cache")
  case "$native" in ON | TRUE | YES | 1) return 0 ;; esac
  qemu=$(sed -n 's/^QUORKIT_QEMU_I386:[A-Z]*=//p' "$cache")
  case "$qemu" in
    "" | *-NOTFOUND)
      echo "quorkit_emulator: this host needs qemu-i386 to run i386 code (scripts/setup installs it)" >&2
      return 1
      ;;
  esac
  echo "$qemu"
}
