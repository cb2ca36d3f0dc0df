#!/usr/bin/env bash
# The report in a real browser: builds examples/leaks against the leak-tracking library, runs it
# (under the build's emulator when the host cannot run i386 programs), writes the HTML report of
# its log and drives it in headless Chromium. Installs Debian's chromium and the pinned
# playwright-core (into build/browser) when they are missing. The screenshot is written to
# build/memlog-report.png.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../../../.."
root=$PWD

if [ ! -x /usr/bin/chromium ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! $SUDO apt-get install -y -qq --no-install-recommends chromium >/dev/null; then
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends chromium >/dev/null
  fi
fi
modules=build/browser/node_modules/playwright-core
if [ ! -d "$modules" ] || ! cmp -s "$here/package-lock.json" build/browser/package-lock.json; then
  mkdir -p build/browser
  cp "$here/package.json" "$here/package-lock.json" build/browser/
  npm ci --prefix build/browser --no-audit --no-fund >/dev/null
fi

cmake -S tools/memlog -B build/memlog-host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/memlog-host --target quorkit-memlog -j2 >/dev/null
cmake --preset linux-i686-memlog >/dev/null
cmake --build --preset linux-i686-memlog --target leaks -j2 >/dev/null

source scripts/lib/emulator.sh
emulator=$(quorkit_emulator build/linux-i686-memlog)
(cd build/linux-i686-memlog/examples/leaks && ${emulator:+"$emulator"} ./leaks >/dev/null)

log=build/linux-i686-memlog/examples/leaks/leaks.MEM_LOG.bin
build/memlog-host/quorkit-memlog report --symbolize -o build/browser/leaks-report.html "$log"
build/memlog-host/quorkit-memlog flame --symbolize -o build/browser/leaks-flame.svg "$log"
timeout 180 node "$here/report.test.mjs" "$root/build/browser/leaks-report.html" \
  "$root/build/browser/leaks-flame.svg" "$root/build/memlog-report.png"
