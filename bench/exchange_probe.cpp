#include "exchange_probe.h"

#include "ui/content_view.h"

#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <malloc.h>

#include <algorithm>

namespace vorlund::test {

namespace {

// A field of /proc/self/status given in kB, in bytes; 0 when absent.
qint64 statusField(const QByteArray& name) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

} // namespace

StallMeter::StallMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    connect(&timer_, &QTimer::timeout, this, &StallMeter::tick);
}

void StallMeter::start() {
    longestGapNs_ = 0;
    clock_.start();
    lastTickNs_ = 0;
    timer_.start();
}

std::chrono::microseconds StallMeter::stop() {
    tick();
    timer_.stop();
    // The timer's own interval is not a stall.
    const qint64 stallNs = std::max<qint64>(0, longestGapNs_ - 1'000'000);
    return std::chrono::microseconds(stallNs / 1000);
}

void StallMeter::tick() {
    const qint64 now = clock_.nsecsElapsed();
    longestGapNs_ = std::max(longestGapNs_, now - lastTickNs_);
    lastTickNs_ = now;
}

bool ResidentMemory::restartPeak() {
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

qint64 ResidentMemory::currentBytes() {
    return statusField("VmRSS");
}

qint64 ResidentMemory::peakBytes() {
    return statusField("VmHWM");
}

ProbeResult probeSend(ContentView& view, const QString& url, std::chrono::milliseconds wait) {
    view.setDaemonURL(url);
    QSignalSpy finished(&view, &ContentView::exchangeFinished);
    StallMeter stalls;

    // Memory freed by earlier cases goes back to the system first, or this case could reuse it
    // unseen.
    malloc_trim(0);
    const bool peakRestarted = ResidentMemory::restartPeak();
    const qint64 before = ResidentMemory::currentBytes();
    stalls.start();
    view.send();
    const QString pinchIdAtSend = view.pinchId();
    // A plain event loop, as the application runs it: QTest's waits sleep between passes,
    // which would count as stalls.
    QEventLoop loop;
    QObject::connect(&view, &ContentView::exchangeFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(wait, &loop, &QEventLoop::quit);
    if (finished.isEmpty())
        loop.exec();
    ProbeResult result;
    result.finished = !finished.isEmpty();
    result.pinchIdAtSend = pinchIdAtSend;
    result.longestStall = stalls.stop();
    if (peakRestarted)
        result.peakGrowthBytes = ResidentMemory::peakBytes() - before;
    // A second outcome for the same press would arrive through the event loop.
    QTest::qWait(20);
    result.finishedCount = int(finished.count());
    return result;
}

} // namespace vorlund::test
