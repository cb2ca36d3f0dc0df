#!/usr/bin/env bash
# The offline log reader's tests: its native build, the sanitizer build with a bounded libFuzzer
# run, and the HTML report in a browser.
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/memlog/run-tests.sh
tools/memlog/tests/browser/run.sh  # the HTML report driven in headless Chromium
