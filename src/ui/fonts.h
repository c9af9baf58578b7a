#pragma once

#include <QFont>
#include <QObject>
#include <qqmlintegration.h>

namespace vorlund {

// The window's type scale, relative to the application font, with a monospaced family from
// the system's fixed-width font. Read once, when QML first asks.
class Fonts : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QFont title2 READ title2 CONSTANT)
    Q_PROPERTY(QFont body READ body CONSTANT)
    Q_PROPERTY(QFont caption READ caption CONSTANT)
    Q_PROPERTY(QFont monoCaption READ monoCaption CONSTANT)
    Q_PROPERTY(QFont monoCaption2 READ monoCaption2 CONSTANT)

public:
    explicit Fonts(QObject* parent = nullptr);

    QFont title2() const { return title2_; }
    QFont body() const { return body_; }
    QFont caption() const { return caption_; }
    QFont monoCaption() const { return monoCaption_; }
    QFont monoCaption2() const { return monoCaption2_; }

private:
    QFont title2_;
    QFont body_;
    QFont caption_;
    QFont monoCaption_;
    QFont monoCaption2_;
};

} // namespace vorlund
