// Start-up beside its floor: starts the client, asked to report its first frame, and the floor
// program, which always does, in turn, and takes the time from just before the start to the frame
// each one reports, and each one's peak resident memory.
//
// startup_bench [--runs N] CLIENT FLOOR
#include "stats.h"

#include "probe/first_frame_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace vorlund::bench;

struct Run {
    double startupMillis = 0;
    double peakRssMiB = 0;
    double cpuMillis = 0; // user and system, all threads, start to exit
};

long long monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// Reads the child's standard output until the hook's line or the deadline.
std::optional<long long> awaitFirstFrame(int fd, long long deadline) {
    std::string seen;
    char chunk[512];
    while (monotonicNanos() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        seen.append(chunk, std::size_t(n));
        const auto at = seen.find("first frame at ");
        const auto end = at == std::string::npos ? at : seen.find('\n', at);
        if (end != std::string::npos)
            return std::stoll(seen.substr(at + 15, end - at - 15));
    }
    return std::nullopt;
}

std::optional<Run> runOnce(const std::string& program) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

    const long long started = monotonicNanos();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return std::nullopt;
    }
    const auto frame = awaitFirstFrame(out[0], started + 30'000'000'000LL);
    if (!frame)
        ::kill(child, SIGKILL);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    ::close(out[0]);
    if (!frame || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    auto millis = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return Run{.startupMillis = double(*frame - started) / 1e6,
               .peakRssMiB = double(usage.ru_maxrss) / 1024.0,
               .cpuMillis = millis(usage.ru_utime) + millis(usage.ru_stime)};
}

} // namespace

int main(int argc, char** argv) {
    int runs = 20;
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else
            programs.emplace_back(argv[i]);
    }
    if (programs.size() != 2 || runs < 1) {
        std::fprintf(stderr, "usage: startup_bench [--runs N] CLIENT FLOOR\n");
        return 2;
    }

    // A key directory of our own, made before the first measured run so that every run loads
    // the key rather than creating it.
    char dataHome[] = "/tmp/vorlund-startup-XXXXXX";
    if (!::mkdtemp(dataHome))
        return 1;
    ::setenv("XDG_DATA_HOME", dataHome, 1);
    ::setenv("XDG_RUNTIME_DIR", dataHome, 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("QT_QUICK_BACKEND", "software", 1);
    ::setenv(vorlund::firstFrameProbeVariable, "1", 1);

    std::vector<Run> ours, floor;
    int failures = 0;
    for (int i = -1; i < runs; ++i) {
        // Alternating order; round -1 only warms the caches and makes the key.
        for (int side = 0; side < 2; ++side) {
            const bool oursNow = (side == 0) == (i % 2 == 0);
            const auto run = runOnce(programs[oursNow ? 0 : 1]);
            if (!run) {
                ++failures;
                continue;
            }
            if (i >= 0)
                (oursNow ? ours : floor).push_back(*run);
        }
    }
    std::filesystem::remove_all(dataHome);

    auto column = [](const std::vector<Run>& rs, double Run::*field) {
        std::vector<double> values;
        for (const Run& r : rs)
            values.push_back(r.*field);
        return median(values);
    };
    std::printf("%d runs each, interleaved, medians; failed runs: %d\n\n", runs, failures);
    printTableHead();
    printRatioRow("start-up to first frame with the key (ms)", 1,
                  column(floor, &Run::startupMillis), column(ours, &Run::startupMillis), 1.3);
    printRatioRow("peak RSS (MiB)", 1, column(floor, &Run::peakRssMiB),
                  column(ours, &Run::peakRssMiB), 1.15);
    // Less at the mercy of the machine's other load than the wall clock; includes the exit.
    printRow("CPU time, start to exit (ms)", 1, column(floor, &Run::cpuMillis),
             column(ours, &Run::cpuMillis));
    return failures == 0 ? 0 : 1;
}
