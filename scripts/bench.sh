#!/usr/bin/env bash
# Builds what the benchmarks need and runs them; writes the report to bench/results/latest.md.
# Every figure is ours beside a floor measured in the same run, interleaved, so the ratios
# mean something on a shared machine even when the absolute times do not.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
VORLUND_TARGETS="vorlund_exchange_bench vorlund_startup_bench vorlund_app_exe vorlund_startup_floor hostile_stalls vorlund_daemon_bench" "$root/scripts/build.sh"
mkdir -p "$root/bench/results"
report="$root/bench/results/latest.md"
export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software

# Runs one benchmark; a failing one is noted in the report and the others still run.
run() {
    echo '```'
    "$@" || echo "(exited with status $?)"
    echo '```'
    echo
}

{
    echo "# Benchmark report"
    echo
    echo "- date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(free -g | awk '/Mem:/{print $2}') GiB"
    echo "- system: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -r), Qt $(qtpaths6 --qt-version 2>/dev/null || echo 6)"
    echo "- load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    echo "## Exchange overhead and soak: ContentView alone"
    echo
    run "$build/bench/vorlund_exchange_bench" --exchanges 3000
    echo "## Exchange overhead and soak: ContentView inside the QML window (software Qt Quick)"
    echo
    run "$build/bench/vorlund_exchange_bench" --window --exchanges 3000
    echo "## Start-up: vorlund beside a one-Label Qt Quick Controls window"
    echo
    run "$build/bench/vorlund_startup_bench" --runs 20 "$build/src/ui/vorlund" \
        "$build/bench/startup_floor/vorlund_startup_floor"
    echo "## GUI stalls and memory against hostile daemons"
    echo
    run "$build/bench/hostile_stalls"
    echo "## The daemon before a model server: added latency and memory"
    echo
    run "$build/bench/vorlund_daemon_bench"
    echo "- load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$report"
