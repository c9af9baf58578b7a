#!/usr/bin/env bash
# Fuzzes each target (or the ones named) for a longer while, one after the other: 600 seconds
# each unless told otherwise. The working corpus in build-asan/fuzz-corpus/<target>/ grows from
# run to run; an input that breaks a target is saved in build-asan/fuzz-crashes/.
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
for target in "${targets[@]}"; do
    echo "== $target for $seconds seconds"
    "$root/tests/fuzz/run_fuzz_target.sh" "$build/tests/fuzz/$target" "$seconds" \
        "$build/fuzz-crashes" "$build/fuzz-corpus/$target"
done
