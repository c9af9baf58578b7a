#include "bench_support.h"

#include "ui/content_view.h"
#include "ui/main_window.h"

#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace vorlund::bench {

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
