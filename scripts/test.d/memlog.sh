#!/usr/bin/env bash
# The offline log reader's tests: its native build, the sanitizer build, the mutation loop and a
# bounded libFuzzer run.
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/memlog/run-tests.sh
tools/memlog/tests/browser/run.sh  # the HTML report driven in headless Chromium
