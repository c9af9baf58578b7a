#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $VORLUND_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
# Ninja for new build folders: with Makefiles, Qt 6.4's QML module rules rebuild the window
# library on every build. An existing folder keeps the generator it was made with.
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
