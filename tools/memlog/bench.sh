#!/bin/sh
# Builds quorkit-memlog (Release, native) and times its summary, leaks and folded of a generated
# 1,000,000-event log against `cat FILE > /dev/null`, printing the ratios and the tool's peak
# memory. Usage: tools/memlog/bench.sh [EVENTS] [ROUNDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build/memlog-host"
events=${1:-1000000}
rounds=${2:-5}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target quorkit-memlog memlog_gen_log memlog_bench -j2 >/dev/null
log="$build/bench/alloc-$events.bin"
if [ ! -f "$log" ]; then
    "$build/bench/memlog_gen_log" "$log" "$events"
fi
"$build/bench/memlog_bench" "$build/quorkit-memlog" "$log" "$events" "$rounds"
