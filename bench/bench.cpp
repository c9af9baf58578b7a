#include "bench.h"

#include "ui/content_view.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>

extern char** environ;

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace vorlund::bench {

double percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = std::size_t(std::ceil(p / 100.0 * double(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

void printTableHead() {
    std::printf("| measure | floor | ours | ratio | goal | |\n|---|---|---|---|---|---|\n");
}

void printRow(const char* measure, int decimals, double floor, double ours, const std::string& goal,
              bool met) {
    std::printf("| %s | %.*f | %.*f | %.2f | %s | %s |\n", measure, decimals, floor, decimals, ours,
                ours / floor, goal.c_str(), goal.empty() ? "" : verdict(met));
}

void printRatioRow(const char* measure, int decimals, double floor, double ours, double ratioGoal) {
    char goal[32];
    std::snprintf(goal, sizeof goal, "ratio <= %.2f", ratioGoal);
    printRow(measure, decimals, floor, ours, goal, ours <= ratioGoal * floor);
}

namespace {
double micros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}
} // namespace

double monotonicMillis() {
    return micros(CLOCK_MONOTONIC) / 1e3;
}

double threadCpuMicros() {
    return micros(CLOCK_THREAD_CPUTIME_ID);
}

long statusKiB(const std::string& pid, const std::string& field) {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

Child::Child(std::vector<std::string> arguments, bool silent) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (silent)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
}

Child::~Child() {
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    wait();
    ::close(out_);
}

std::optional<std::string> Child::awaitLine(const std::string& marker, int millis) {
    const double deadline = monotonicMillis() + millis;
    for (char chunk[512];;) {
        for (std::size_t end; (end = seen_.find('\n')) != std::string::npos;) {
            std::string line = seen_.substr(0, end);
            seen_.erase(0, end + 1);
            if (line.find(marker) != std::string::npos)
                return line;
        }
        pollfd ready{out_, POLLIN, 0};
        const int left = int(deadline - monotonicMillis());
        const ssize_t n = left > 0 && ::poll(&ready, 1, left) > 0 ? ::read(out_, chunk, 512) : 0;
        if (n <= 0)
            return std::nullopt;
        seen_.append(chunk, std::size_t(n));
    }
}

bool Child::wait(rusage* usage) {
    int status = 0;
    const bool ended = pid_ > 0 && ::wait4(pid_, &status, 0, usage) == pid_;
    pid_ = 0;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long Child::statusKiB(const std::string& field) const {
    return bench::statusKiB(std::to_string(pid_), field);
}

bool waitFor(const std::function<bool()>& done, int millis) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // so that the deadline is seen while no other event comes
    wake.start(20);
    while (!done() && clock.elapsed() < millis)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

PeakGrowth::PeakGrowth() {
    malloc_trim(0);
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        qFatal("this kernel does not restart the peak of resident memory");
    before_ = statusKiB("self", "VmRSS");
}

GuiProbe::GuiProbe(std::function<void(double, double)> tick) : tick_(std::move(tick)) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { sample(); });
    timer_.start(1);
}

void GuiProbe::stop() {
    sample();
    timer_.stop();
}

void GuiProbe::sample() {
    const double now = monotonicMillis(), cpu = threadCpuMicros();
    tick_(std::max(0.0, now - lastMillis_ - 1.0), (cpu - lastCpuMicros_) / 1e3);
    lastMillis_ = now;
    lastCpuMicros_ = cpu;
}

BenchEnvironment::BenchEnvironment() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
}

ContentView& loadWindow(QQmlApplicationEngine& engine) {
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QObject* root = loadMainWindow(engine);
    auto* view = root ? root->findChild<ContentView*>(QStringLiteral("contentView")) : nullptr;
    if (!view)
        qFatal("the window did not load");
    waitUntilReady(*view);
    return *view;
}

void waitUntilReady(ContentView& view) {
    if (!waitFor([&] { return !view.state()->bPubKeyHex().isEmpty(); }, 30'000))
        qFatal("the client's key was not published");
}

} // namespace vorlund::bench
