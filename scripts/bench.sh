#!/usr/bin/env bash
# Builds what the benchmarks need and runs them. Every figure is ours beside a floor measured in
# the same run, interleaved, so the ratios mean something on a shared machine even when the
# absolute times do not.
#
#   scripts/bench.sh           every benchmark; the report goes to bench/results/latest.md too
#   scripts/bench.sh PART...   only these, printed: exchange, window, startup, hostile, daemon
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
VORLUND_TARGETS="vorlund_exchange_bench vorlund_startup_bench vorlund_app_exe vorlund_startup_floor hostile_stalls vorlund_daemon_bench" "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
parts=" ${*:-exchange window startup hostile daemon} "
report=/dev/null
if [ $# -eq 0 ]; then
    mkdir -p "$root/bench/results"
    report="$root/bench/results/latest.md"
fi

# Runs one part if it was asked for; a failing one is noted and the others still run.
part() {
    [[ $parts == *" $1 "* ]] || return 0
    printf '## %s\n\n```\n' "$2"
    "${@:3}" || echo "(exited with status $?)"
    printf '```\n\n'
}

{
    echo "# Benchmark report"
    echo
    echo "- date: $(date -u +%Y-%m-%dT%H:%M:%SZ), commit $(git -C "$root" rev-parse --short HEAD)"
    echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(free -g | awk '/Mem:/{print $2}') GiB"
    echo "- system: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -r), Qt $(qtpaths6 --qt-version 2>/dev/null || echo 6)"
    echo "- load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    part exchange "Exchange overhead and soak: ContentView alone" \
        "$build/bench/vorlund_exchange_bench" --exchanges 3000
    part window "Exchange overhead and soak: ContentView inside the QML window (software Qt Quick)" \
        "$build/bench/vorlund_exchange_bench" --window --exchanges 3000
    part startup "Start-up: vorlund beside a one-Label Qt Quick Controls window" \
        "$build/bench/vorlund_startup_bench" --runs 20 "$build/src/ui/vorlund" \
        "$build/bench/startup_floor/vorlund_startup_floor"
    part hostile "GUI stalls and memory against hostile daemons" "$build/bench/hostile_stalls"
    part daemon "The daemon before a model server: added latency and memory" \
        "$build/bench/vorlund_daemon_bench"
    echo "- load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$report"
