// Start-up beside its floor: starts the client, asked to report its first frame, and the floor
// program, which always does, in turn, and takes the time from just before the start to the
// frame each one reports, and each one's peak resident memory and CPU time.
//
// startup_bench [--runs N] CLIENT FLOOR
#include "bench.h"

#include "probe/first_frame_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

extern char** environ;

using namespace vorlund::bench;

namespace {

struct Runs {
    std::vector<double> startupMillis, peakRssMiB, cpuMillis; // CPU: all threads, start to exit
};

// Runs program once, into `into` unless that is null; whether it reported its frame and exited.
bool runOnce(const std::string& program, Runs* into) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const double started = monotonicMillis();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // Its standard output until the probe's line, within 30 s.
    std::string seen;
    const auto lineEnd = [&] { return seen.find('\n', seen.find("first frame at ")); };
    for (char chunk[512]; spawned == 0 && lineEnd() == std::string::npos;) {
        pollfd ready{out[0], POLLIN, 0};
        const int left = int(started + 30'000 - monotonicMillis());
        const ssize_t n = left > 0 && ::poll(&ready, 1, left) > 0 ? ::read(out[0], chunk, 512) : 0;
        if (n <= 0)
            break;
        seen.append(chunk, std::size_t(n));
    }
    ::close(out[0]);
    const bool reported = lineEnd() != std::string::npos;
    if (spawned == 0 && !reported)
        ::kill(child, SIGKILL);
    int status = 0;
    rusage usage{};
    if (spawned != 0 || ::wait4(child, &status, 0, &usage) != child || !reported ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    auto millis = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    if (into) {
        const auto frame = std::stoll(seen.substr(seen.find("first frame at ") + 15));
        into->startupMillis.push_back(double(frame) / 1e6 - started);
        into->peakRssMiB.push_back(double(usage.ru_maxrss) / 1024.0);
        into->cpuMillis.push_back(millis(usage.ru_utime) + millis(usage.ru_stime));
    }
    return true;
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

    Runs ours, floor;
    int failures = 0;
    for (int i = -1; i < runs; ++i) {
        // Alternating order; round -1 only warms the caches and makes the key.
        for (int side = 0; side < 2; ++side) {
            const bool oursNow = (side == 0) == (i % 2 == 0);
            Runs* into = i < 0 ? nullptr : oursNow ? &ours : &floor;
            failures += runOnce(programs[oursNow ? 0 : 1], into) ? 0 : 1;
        }
    }
    std::filesystem::remove_all(dataHome);

    std::printf("%d runs each, interleaved, medians; failed runs: %d\n\n", runs, failures);
    printTableHead();
    printRatioRow("start-up to first frame with the key (ms)", 1, median(floor.startupMillis),
                  median(ours.startupMillis), 1.3);
    printRatioRow("peak RSS (MiB)", 1, median(floor.peakRssMiB), median(ours.peakRssMiB), 1.15);
    // Less at the mercy of the machine's other load than the wall clock; includes the exit.
    printRow("CPU time, start to exit (ms)", 1, median(floor.cpuMillis), median(ours.cpuMillis));
    return failures == 0 ? 0 : 1;
}
