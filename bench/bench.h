#pragma once

// What the benchmarks share: their statistics and report, memory, and for those that run the
// window, its event loop.
#include "ui/content_view.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace vorlund::bench {

// The nearest-rank percentile (0 < p <= 100) of samples; 0 for none.
inline double percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = std::size_t(std::ceil(p / 100.0 * double(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}
inline double median(std::vector<double> samples) {
    return percentile(std::move(samples), 50);
}
inline const char* verdict(bool met) {
    return met ? "met" : "missed";
}

// A table of our figures beside the floor's, a row per measure; a row without a goal informs.
inline void printTableHead() {
    std::printf("| measure | floor | ours | ratio | goal | |\n|---|---|---|---|---|---|\n");
}
inline void printRow(const char* measure, int decimals, double floor, double ours,
                     const std::string& goal = {}, bool met = false) {
    std::printf("| %s | %.*f | %.*f | %.2f | %s | %s |\n", measure, decimals, floor, decimals, ours,
                ours / floor, goal.c_str(), goal.empty() ? "" : verdict(met));
}
inline void printRatioRow(const char* measure, int decimals, double floor, double ours,
                          double goal) {
    printRow(measure, decimals, floor, ours, "ratio <= " + std::to_string(goal).substr(0, 4),
             ours <= goal * floor);
}

inline double micros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}
inline double monotonicMillis() {
    return micros(CLOCK_MONOTONIC) / 1e3;
}
// The calling thread's CPU time: unlike the wall clock, untouched by the machine's other load.
inline double threadCpuMicros() {
    return micros(CLOCK_THREAD_CPUTIME_ID);
}

// A field of /proc/PID/status in KiB, such as VmRSS or VmHWM; -1 if absent.
inline long statusKiB(const std::string& pid, const std::string& field) {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Runs the event loop, sleeping between events, until done() holds or millis have passed;
// whether it came to hold.
inline bool waitFor(const std::function<bool()>& done, int millis) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // so that the deadline is seen while no other event comes
    wake.start(20);
    while (!done() && clock.elapsed() < millis)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// Runs the event loop for millis, so that deferred work (frames, deletions) is done.
inline void settle(int millis) {
    waitFor([] { return false; }, millis);
}

// How far the process's resident memory peaked above what it held when this was made. It gives
// memory freed earlier back to the system first, or what follows could reuse it unseen.
class PeakGrowth {
public:
    PeakGrowth() {
        malloc_trim(0);
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            qFatal("this kernel does not restart the peak of resident memory");
        before_ = statusKiB("self", "VmRSS");
    }
    long kib() const { return statusKiB("self", "VmHWM") - before_; }

private:
    long before_;
};

// A 1 ms timer on the GUI thread, from now until stop(). At each tick it reports how late the
// tick came (wall clock, which the host's other processes inflate) and the thread's CPU time
// since the last one: the event loop's longest stretch of work of its own.
class GuiProbe {
public:
    explicit GuiProbe(std::function<void(double lateMillis, double busyMillis)> tick)
        : tick_(std::move(tick)) {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { sample(); });
        timer_.start(1);
    }
    void stop() {
        sample();
        timer_.stop();
    }

private:
    void sample() {
        const double now = monotonicMillis(), cpu = threadCpuMicros();
        tick_(std::max(0.0, now - lastMillis_ - 1.0), (cpu - lastCpuMicros_) / 1e3);
        lastMillis_ = now;
        lastCpuMicros_ = cpu;
    }
    std::function<void(double, double)> tick_;
    QTimer timer_;
    double lastMillis_ = monotonicMillis(), lastCpuMicros_ = threadCpuMicros();
};

// A benchmark's own key directory and headless platform, set before the application is made.
struct BenchEnvironment {
    BenchEnvironment() {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
            qputenv("QT_QUICK_BACKEND", "software");
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    }
    QTemporaryDir home;
};

// Waits until view can send.
inline void waitUntilReady(ContentView& view) {
    if (!waitFor([&] { return !view.state()->bPubKeyHex().isEmpty(); }, 30'000))
        qFatal("the client's key was not published");
}

// Loads the real window into engine and waits until it can send; its window and view.
inline std::pair<QQuickWindow*, ContentView*> loadWindow(QQmlApplicationEngine& engine) {
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QQuickWindow* window = loadMainWindow(engine);
    auto* view = window ? window->findChild<ContentView*>(QStringLiteral("contentView")) : nullptr;
    if (!view)
        qFatal("the window did not load");
    waitUntilReady(*view);
    return {window, view};
}

} // namespace vorlund::bench
