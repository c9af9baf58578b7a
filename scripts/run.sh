#!/usr/bin/env bash
# Sets everything up, builds, and opens the window.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
echo "Built into ${VORLUND_BUILD_DIR:-$root/build}; the window is not part of this build yet."
