#!/usr/bin/env bash
# 10,000 exchanges in one view, beside as many bare POSTs; fails if memory keeps growing or
# file descriptors leak. Not part of the test run: it takes minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
VORLUND_TARGETS="vorlund_exchange_bench" "$root/scripts/build.sh"
QT_QPA_PLATFORM=offscreen "$build/bench/vorlund_exchange_bench" --exchanges 10000 "$@"
