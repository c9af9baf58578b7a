#include "main_window.h"

#include "drawn_icons.h"

#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QUrl>

namespace vorlund {

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine) {
    if (!engine.imageProvider(QStringLiteral("drawn")))
        engine.addImageProvider(QStringLiteral("drawn"), new DrawnIcons);
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Vorlund/Main.qml")));
    // The application engine's file selector, made by the first load, looks for "+selector"
    // variants of every URL the window resolves later, each time an icon is re-tinted too.
    // There are none.
    for (QQmlAbstractUrlInterceptor* interceptor : engine.urlInterceptors())
        engine.removeUrlInterceptor(interceptor);
    return qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
}

} // namespace vorlund
