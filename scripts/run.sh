#!/usr/bin/env bash
# Installs what building and running need, builds the window and the daemon, and opens the
# window with the daemon behind it, answering by echo. The tests and benchmarks are left to
# scripts/test.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
VORLUND_TARGETS="vorlund_app_exe vorlund-daemon" "$root/scripts/build.sh"
build=${VORLUND_BUILD_DIR:-$root/build}

# Start the daemon on the window's default address unless a daemon already listens there;
# stop only the one started here when the window closes.
if ! (exec 3<>/dev/tcp/127.0.0.1/7575) 2>/dev/null; then
    "$build/tools/vorlund-daemon/vorlund-daemon" --port 7575 &
    daemon=$!
    trap 'kill "$daemon" 2>/dev/null || true' EXIT
fi
"$build/src/ui/vorlund"
