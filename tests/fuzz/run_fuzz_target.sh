#!/usr/bin/env bash
# Runs one fuzz target for a bounded time. The seed corpus is copied into the working corpus
# (a scratch folder unless one is given), so the repository is never written to. A crash, a
# leak or a failed check ends the run with a non-zero status and leaves the input in
# <crash-folder>.
# usage: run_fuzz_target.sh <fuzzer> <seconds> <crash-folder> [working-corpus]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fuzzer=$1
seconds=$2
crashes=$3
name=$(basename "$fuzzer")
if [ $# -ge 4 ]; then
    corpus=$4
    mkdir -p "$corpus"
else
    corpus=$(mktemp -d)
    trap 'rm -rf "$corpus"' EXIT
fi
cp -n "$here/corpus/$name/"* "$corpus/"
mkdir -p "$crashes"
options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
         -artifact_prefix="$crashes/$name-")
[ -f "$here/$name.dict" ] && options+=(-dict="$here/$name.dict")
"$fuzzer" "${options[@]}" "$corpus"
