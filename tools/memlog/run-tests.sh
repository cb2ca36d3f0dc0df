#!/bin/sh
# Builds and tests quorkit-memlog natively: the plain Release build with all its
# tests, then the clang++ AddressSanitizer/UBSan build with the golden outputs, the
# seeded mutation loop and a 20-second libFuzzer run. Exits non-zero on any failure.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
jobs=${MEMLOG_JOBS:-2}

cmake -S "$here" -B "$root/build/memlog-host" -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build/memlog-host" -j"$jobs"
ctest --test-dir "$root/build/memlog-host" --output-on-failure -j"$jobs"

if [ -x /usr/bin/clang++ ]; then
    CXX=/usr/bin/clang++ cmake -S "$here" -B "$root/build/memlog-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DMEMLOG_SANITIZE=ON
    cmake --build "$root/build/memlog-asan" -j"$jobs"
    ctest --test-dir "$root/build/memlog-asan" --output-on-failure -j"$jobs"
else
    echo "run-tests.sh: /usr/bin/clang++ missing: sanitizer and fuzz runs NOT done" >&2
    exit 1
fi
