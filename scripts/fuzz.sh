#!/usr/bin/env bash
# Fuzzes each target (or the ones named) for a longer while, one after the other: 600 seconds
# each unless told otherwise. The working corpus in build-asan/fuzz-corpus/<target>/ grows from
# run to run; the seeds in tests/fuzz/corpus/ are only read. An input that breaks a target is
# saved in build-asan/fuzz-crashes/.
# usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}-asan
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for seeds in "$root"/tests/fuzz/corpus/*/; do
        targets+=("$(basename "$seeds")")
    done
fi
"$root/scripts/build-asan.sh"
. "$root/scripts/sanitizer-env.sh"
mkdir -p "$build/fuzz-crashes"
for target in "${targets[@]}"; do
    echo "== $target for $seconds seconds"
    options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10
             -artifact_prefix="$build/fuzz-crashes/$target-")
    options+=(-dict="$root/tests/fuzz/$target.dict")
    mkdir -p "$build/fuzz-corpus/$target"
    "$build/tests/fuzz/$target" "${options[@]}" "$build/fuzz-corpus/$target" \
        "$root/tests/fuzz/corpus/$target"
done
