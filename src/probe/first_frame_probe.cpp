#include "first_frame_probe.h"

#include <QCoreApplication>
#include <QQuickWindow>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>

namespace vorlund {

void probeFirstFrame(QQuickWindow& window, std::function<bool()> shown) {
    // Synchronisation happens while the GUI thread waits, whichever render loop runs, so
    // reading the window's state there is safe; the frame that follows shows that state.
    auto synced = std::make_shared<std::atomic<bool>>(false);
    auto reported = std::make_shared<std::atomic<bool>>(false);
    QObject::connect(
        &window, &QQuickWindow::beforeSynchronizing, &window,
        [synced, shown = std::move(shown)] {
            if (shown())
                *synced = true;
        },
        Qt::DirectConnection);
    QObject::connect(
        &window, &QQuickWindow::frameSwapped, &window,
        [synced, reported] {
            if (!*synced || reported->exchange(true))
                return;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("first frame at %lld\n",
                        static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
            std::fflush(stdout);
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

} // namespace vorlund
