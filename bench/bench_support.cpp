#include "bench_support.h"

#include "ui/content_view.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

#include <malloc.h>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace vorlund::bench {

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

bool waitFor(const std::function<bool()>& done, int millis) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // so that the deadline is seen while no other event comes
    wake.start(20);
    while (!done() && clock.elapsed() < millis)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

qint64 residentBytes() {
    return statusField("VmRSS");
}

PeakGrowth::PeakGrowth() {
    malloc_trim(0);
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        qFatal("this kernel does not restart the peak of resident memory");
    before_ = residentBytes();
}

qint64 PeakGrowth::bytes() const {
    return statusField("VmHWM") - before_;
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
