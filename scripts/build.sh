#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $VORLUND_BUILD_DIR).
# Arguments go to CMake's configure step. With $VORLUND_TARGETS set, installs only what building
# and running need and builds only those targets; otherwise everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
targets=()
if [ -n "${VORLUND_TARGETS:-}" ]; then
    read -r -a names <<<"$VORLUND_TARGETS"
    for name in "${names[@]}"; do targets+=(--target "$name"); done
    "$root/scripts/install-deps.sh" "$root/scripts/packages.txt"
else
    "$root/scripts/install-deps.sh"
fi
# Ninja for new build folders: with Makefiles, Qt 6.4's QML module rules rebuild the window
# library on every build. An existing folder keeps the generator it was made with.
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)" "${targets[@]}"
