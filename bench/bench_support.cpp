#include "bench_support.h"

#include "ui/content_view.h"

#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace vorlund::bench {

ContentView& loadWindow(QQmlApplicationEngine& engine) {
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Vorlund/Main.qml")));
    QObject* root = engine.rootObjects().value(0);
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
