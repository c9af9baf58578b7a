#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: in the normal build, then in a clang
# build under AddressSanitizer and UBSan, where each fuzz target also runs for a short while.
# Both must pass.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

# Runs one build's suite and keeps CTest's closing lines for the summary at the end.
suite() {
    local dir=$1 status=0
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" \
        2>&1 | tee "$dir/ctest.log" || status=$?
    { echo "== $(basename "$dir")"; sed -n '/tests passed/,$p' "$dir/ctest.log"; } >>"$summary"
    return $status
}

status=0
"$root/scripts/build.sh"
suite "$build" || status=1

"$root/scripts/build-asan.sh"
(. "$root/scripts/sanitizer-env.sh" && suite "$build-asan") || status=1

echo
cat "$summary"
exit $status
