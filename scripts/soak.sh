#!/usr/bin/env bash
# 10,000 exchanges in one window against the demo daemon; fails if memory keeps growing or
# file descriptors leak. Not part of the test run: it takes minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
QT_QPA_PLATFORM=offscreen "$build/bench/vorlund_soak" --exchanges 10000 --warmup 500 "$@"
