#!/usr/bin/env bash
# The sanitizer lane: the library, the PAL, its dbghelp.dll and every test built under
# AddressSanitizer and UndefinedBehaviorSanitizer (preset linux-i686-asan, whose description says
# why each of its flags is there), then the whole ctest suite run in that build. The test preset
# carries the run-time settings, each explained in its description: QEMU_RESERVED_VA (i386 ASan
# under qemu-i386), detect_leaks=0 (LeakSanitizer hangs under qemu-user),
# allocator_may_return_null=1 (tests ask for 4 GiB on purpose) and handle_segv=0 (faults outside
# the PAL's fault guard end the process by the signal, as in a plain run).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/presets.sh
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS

quorkit_build_preset linux-i686-asan

echo "== linux-i686-asan: tests"
ctest --preset linux-i686-asan -j "$jobs"

echo "asan: $(ctest --preset linux-i686-asan -N | sed -n 's/^Total Tests: //p') tests passed in $((SECONDS - start)) s"
