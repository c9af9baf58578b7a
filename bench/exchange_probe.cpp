#include "exchange_probe.h"
#include "peak_growth.h"

#include "ui/content_view.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

namespace vorlund::test {

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

ProbeResult probeSend(ContentView& view, const QString& url, std::chrono::milliseconds wait) {
    view.setDaemonURL(url);
    QSignalSpy finished(&view, &ContentView::exchangeFinished);
    StallMeter stalls;

    const PeakGrowth memory;
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
    result.peakGrowthBytes = memory.bytes();
    // A second outcome for the same press would arrive through the event loop.
    QTest::qWait(20);
    result.finishedCount = int(finished.count());
    return result;
}

} // namespace vorlund::test
