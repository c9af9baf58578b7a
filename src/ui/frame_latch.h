#pragma once

#include <QQuickItem>
#include <QVariant>
#include <QtQml/qqml.h>

namespace vorlund {

// Hands a value on to what the window shows as the window prepares its next frame, rather than
// at once. A value that changes several times between two frames, as the answer does when an
// exchange empties the box and fills it again within a millisecond, then reaches the items that
// show it, and is laid out, once. Every frame still shows the value of its time. Outside a
// window, or in one not on screen, where no frame comes, the value is handed on at once. The latch
// draws nothing; inside a layout, it would still take room.
class FrameLatch : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QVariant value READ value WRITE setValue NOTIFY valueChanged)
    // The value as of the last frame prepared.
    Q_PROPERTY(QVariant shown READ shown NOTIFY shownChanged)

public:
    using QQuickItem::QQuickItem;

    QVariant value() const { return value_; }
    void setValue(const QVariant& value);
    QVariant shown() const { return shown_; }

signals:
    void valueChanged();
    void shownChanged();

protected:
    void updatePolish() override;

private:
    void handOn();

    QVariant value_;
    QVariant shown_;
};

} // namespace vorlund
