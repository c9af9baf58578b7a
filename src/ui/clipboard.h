#pragma once

#include <QClipboard>
#include <QGuiApplication>
#include <QObject>
#include <QtQml/qqml.h>

namespace vorlund {

// The desktop's clipboard, which QML cannot reach by itself.
class Clipboard : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE static void setText(const QString& text) {
        QGuiApplication::clipboard()->setText(text);
    }
};

} // namespace vorlund
