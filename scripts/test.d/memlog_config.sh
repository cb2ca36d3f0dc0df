#!/usr/bin/env bash
# The leak-tracking configuration (QUORKIT_MEMORY_LOG=ON): builds both memlog presets, runs the
# linux-i686-memlog tests (the platform tests, whose memory services this build changes, its own
# tests and the examples/leaks report check; the preset leaves out the two default-build cases
# that assert the inert interface and the bare allocator calls), and checks that the memlog DLL
# exports exactly what the default one does.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/presets.sh
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS

quorkit_build_preset linux-i686-memlog

quorkit_build_preset windows-i686-memlog

echo "== linux-i686-memlog: tests"
ctest --preset linux-i686-memlog -j "$jobs"

echo "== windows-i686-memlog: DLL export and import tables"
tests/abi/check_dll.sh build/windows-i686-memlog/bin/quorkit.dll

echo "memlog_config: passed in $((SECONDS - start)) s"
