#pragma once

#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QWindow>
#include <QtQml/qqml.h>

namespace vorlund {

// The window's commands and their keys, in one table: "send", "newWindow", "closeWindow" and
// "quit". Their shortcuts work anywhere in the window they are given; an item that takes every
// key for itself, such as a read-only text edit, hands its keys to handleKey().
class WindowCommands : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QWindow* window READ window WRITE setWindow NOTIFY windowChanged)

public:
    using QObject::QObject;

    QWindow* window() const { return window_; }
    void setWindow(QWindow* window);

    // The command that the key means, or the empty text.
    Q_INVOKABLE static QString commandFor(int key, int modifiers);
    // Triggers the command that the key means; false when it means none.
    Q_INVOKABLE bool handleKey(int key, int modifiers);

signals:
    void windowChanged();
    void triggered(const QString& command);

private:
    QPointer<QWindow> window_;
};

} // namespace vorlund
