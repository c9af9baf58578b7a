#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

namespace vorlund {
class ContentView;
}

namespace vorlund::test {

// The longest time the calling thread's event loop went without running a 1 ms timer: how long
// the window would have been frozen.
class StallMeter : public QObject {
public:
    StallMeter();
    void start();
    std::chrono::microseconds stop();

private:
    void tick();

    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastTickNs_ = 0;
    qint64 longestGapNs_ = 0;
};

// What one press of Send cost while its exchange ran.
struct ProbeResult {
    bool finished = false; // exchangeFinished came within the wait
    int finishedCount = 0; // more than one would mean the outcome was written twice
    QString pinchIdAtSend; // the identifier the window showed while the exchange ran
    std::chrono::microseconds longestStall{0};
    std::optional<qint64> peakGrowthBytes; // absent where the peak cannot be restarted
};

// Points view at url, presses Send, and waits up to wait for the exchange to finish.
ProbeResult probeSend(ContentView& view, const QString& url, std::chrono::milliseconds wait);

} // namespace vorlund::test
