#!/bin/sh
# Builds and tests quorkit-memlog natively through its presets: the optimised build with all its
# tests, then the clang++ AddressSanitizer/UBSan build with the goldens and a bounded libFuzzer
# run seeded with real logs. Exits non-zero on any failure.
set -eu
cd "$(dirname "$0")"
jobs=${MEMLOG_JOBS:-2}

cmake --preset memlog-host
cmake --build --preset memlog-host -j"$jobs"
ctest --preset memlog-host -j"$jobs"

if [ -x /usr/bin/clang++ ]; then
    cmake --preset memlog-asan
    cmake --build --preset memlog-asan -j"$jobs"
    ctest --preset memlog-asan -j"$jobs"
else
    echo "run-tests.sh: /usr/bin/clang++ missing: sanitizer and fuzz runs NOT done" >&2
    exit 1
fi
