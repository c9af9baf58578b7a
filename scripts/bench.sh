#!/usr/bin/env bash
# Builds and runs the benchmarks; writes the report to bench/results/latest.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
mkdir -p "$root/bench/results"
report="$root/bench/results/latest.md"
{
    echo "# Benchmark report"
    echo
    echo "- date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(free -g | awk '/Mem:/{print $2}') GiB"
    echo "- system: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -r)"
    echo
    echo "## Micro-benchmarks"
    echo
    echo '```'
    "$build/bench/vorlund_micro_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_color=false
    echo '```'
    echo
    echo "## GUI stalls and memory against hostile daemons"
    QT_QPA_PLATFORM=offscreen "$build/bench/hostile_stalls" 2>/dev/null
} | tee "$report"
