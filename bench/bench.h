#pragma once

// What the benchmarks share: their statistics and report, child processes, memory, and for those
// that run the window, its event loop.
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QQmlApplicationEngine;
namespace vorlund {
class ContentView;
}

namespace vorlund::bench {

// The nearest-rank percentile (0 < p <= 100) of samples; 0 for none.
double percentile(std::vector<double> samples, double p);
inline double median(std::vector<double> samples) {
    return percentile(std::move(samples), 50);
}
inline const char* verdict(bool met) {
    return met ? "met" : "missed";
}

// A table of our figures beside the floor's: its head, then a row per measure. The goal is a
// text, or a ratio of at most ratioGoal; a row without one only informs.
void printTableHead();
void printRow(const char* measure, int decimals, double floor, double ours,
              const std::string& goal = {}, bool met = false);
void printRatioRow(const char* measure, int decimals, double floor, double ours, double ratioGoal);

double monotonicMillis();
// The calling thread's CPU time: unlike the wall clock, untouched by the machine's other load.
double threadCpuMicros();
// A field of /proc/PID/status in KiB, such as VmRSS or VmHWM; -1 if absent.
long statusKiB(const std::string& pid, const std::string& field);

// A program started with our environment, its standard output on a pipe to us; ended with
// SIGTERM unless it has ended.
class Child {
public:
    explicit Child(std::vector<std::string> arguments, bool silent = false); // silent: no stderr
    ~Child();
    // The first line of standard output from now on that contains marker, if it comes in millis.
    std::optional<std::string> awaitLine(const std::string& marker, int millis);
    // Waits for its end; whether it exited with 0, and what it used.
    bool wait(rusage* usage = nullptr);
    long statusKiB(const std::string& field) const;

private:
    pid_t pid_ = 0;
    int out_ = -1;
    std::string seen_;
};

// Runs the event loop, sleeping between events, until done() holds or millis have passed;
// whether it came to hold.
bool waitFor(const std::function<bool()>& done, int millis);
// Runs the event loop for millis, so that deferred work (frames, deletions) is done.
inline void settle(int millis) {
    waitFor([] { return false; }, millis);
}

// How far the process's resident memory peaked above what it held when this was made. It gives
// memory freed earlier back to the system first, or what follows could reuse it unseen.
class PeakGrowth {
public:
    PeakGrowth();
    long kib() const { return statusKiB("self", "VmHWM") - before_; }

private:
    long before_;
};

// A 1 ms timer on the GUI thread. At each tick it reports how late the tick came (wall clock,
// which the host's other processes inflate) and the thread's CPU time since the last one: the
// event loop's longest stretch of work of its own.
class GuiProbe {
public:
    explicit GuiProbe(std::function<void(double lateMillis, double busyMillis)> tick);
    void stop();

private:
    void sample();
    std::function<void(double, double)> tick_;
    QTimer timer_;
    double lastMillis_ = monotonicMillis(), lastCpuMicros_ = threadCpuMicros();
};

// A benchmark's own key directory and headless platform, set before the application is made.
struct BenchEnvironment {
    BenchEnvironment();
    QTemporaryDir home;
};

// Loads the real window into engine and waits until it can send; its view, or a fatal error.
ContentView& loadWindow(QQmlApplicationEngine& engine);
// Waits until view can send.
void waitUntilReady(ContentView& view);

} // namespace vorlund::bench
