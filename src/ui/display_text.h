#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqml.h>

namespace vorlund {

// How the window cuts texts that come from a daemon. Laying out text costs the GUI thread
// about a second per million characters, and a daemon may send sixteen million in any field;
// the window shows at most `limit` characters of each, while the fields keep them whole.
class DisplayText : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    static constexpr qsizetype limit = 100'000;

    using QObject::QObject;

    // text whole up to `limit` characters; a longer one up to its last whole character
    // (grapheme cluster) within the limit, followed by "…".
    Q_INVOKABLE static QString bounded(const QString& text);

    // The first n characters (grapheme clusters) of text, always followed by "…".
    Q_INVOKABLE static QString shortened(const QString& text, int n);
};

} // namespace vorlund
