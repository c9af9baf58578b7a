#pragma once

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <ctime>
#include <functional>

namespace vorlund {
class ContentView;
}
class QQmlApplicationEngine;

namespace vorlund::bench {

// The calling thread's CPU time: unlike the wall clock, untouched by the machine's other load.
inline double threadCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// Runs the event loop, sleeping between events, until done() holds or millis have passed;
// whether it came to hold.
bool waitFor(const std::function<bool()>& done, int millis);
// Runs the event loop for millis, so that deferred work (frames, deletions) is done.
inline void settle(int millis) {
    waitFor([] { return false; }, millis);
}
// The process's resident memory now.
qint64 residentBytes();

// How far the process's resident memory peaked above what it held when this was made. It gives
// memory freed earlier back to the system first, or what follows could reuse it unseen.
class PeakGrowth {
public:
    PeakGrowth();
    qint64 bytes() const;

private:
    qint64 before_;
};

// A 1 ms timer on the GUI thread. At each tick it reports how late the tick came (wall clock,
// which the host's other processes inflate) and the thread's CPU time since the last one: the
// event loop's longest stretch of work of its own.
class GuiProbe {
public:
    using Tick = std::function<void(double lateMillis, double busyMillis)>;

    explicit GuiProbe(Tick tick) : tick_(std::move(tick)) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] { sample(); });
    }
    void start() {
        wall_.start();
        lastWallMicros_ = 0;
        lastCpuMicros_ = threadCpuMicros();
        timer_.start();
    }
    void stop() {
        sample();
        timer_.stop();
    }

private:
    void sample() {
        const double wall = double(wall_.nsecsElapsed()) / 1e3;
        const double cpu = threadCpuMicros();
        tick_(std::max(0.0, (wall - lastWallMicros_) / 1e3 - 1.0), (cpu - lastCpuMicros_) / 1e3);
        lastWallMicros_ = wall;
        lastCpuMicros_ = cpu;
    }

    Tick tick_;
    QTimer timer_;
    QElapsedTimer wall_;
    double lastWallMicros_ = 0;
    double lastCpuMicros_ = 0;
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

// Loads the real window into engine and waits until it can send; its view, or a fatal error.
ContentView& loadWindow(QQmlApplicationEngine& engine);
// Waits until view can send.
void waitUntilReady(ContentView& view);

} // namespace vorlund::bench
