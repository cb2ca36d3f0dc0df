# Sourced by scripts/test and its steps: one way to configure and build a preset, with as many jobs
# as the machine has cores.
#
#   quorkit_build_preset linux-i686
quorkit_build_preset() {
  echo "== $1: configure and build"
  cmake --preset "$1"
  cmake --build --preset "$1" -j "$(nproc 2>/dev/null || echo 2)"
}
