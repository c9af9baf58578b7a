#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QtQml/qqml.h>

namespace vorlund {

// How the window cuts texts that come from a daemon, which may send sixteen million characters
// in any field while the fields keep them whole. Laying out text costs the GUI thread for every
// character and every line, and for a run without a break point the square of its length, so
// only the answer box, which wraps such runs anywhere, shows up to answerLimit characters.
class DisplayText : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    static constexpr qsizetype answerLimit = 100'000;
    // Labels, error lines and tooltips.
    static constexpr qsizetype labelLimit = 10'000;
    // Code points shown of one character (grapheme cluster); a daemon may stack millions of
    // accents on one letter.
    static constexpr qsizetype clusterLimit = 32;
    // A run without a break point longer than this makes the answer box wrap anywhere.
    static constexpr qsizetype runLimit = 2'000;
    static constexpr qsizetype blockLimit = 2'000;
    // An answer longer than this is laid out in parts of at most partLimit, so that only the
    // parts in view are laid out, on arrival and on every resize.
    static constexpr qsizetype wholeLimit = 5'000;
    static constexpr qsizetype partLimit = 2'000;

    using QObject::QObject;

    // text up to labelLimit characters, see head().
    Q_INVOKABLE static QString bounded(const QString& text) { return head(text, labelLimit); }

    // text up to limit UTF-16 units: whole when it fits, else up to its last whole character
    // within the limit, followed by "…". Characters of more than clusterLimit code points show
    // only those.
    static QString head(const QString& text, qsizetype limit);

    // The first n characters of text, always followed by "…".
    Q_INVOKABLE static QString shortened(const QString& text, int n);

    // text with at most blockLimit paragraphs: past that, line breaks within each group of
    // paragraphs become U+2028, which the answer box shows as line breaks and copies as LF.
    // Every paragraph costs the layout far more than a line within one.
    static QString fewerParagraphs(const QString& text);

    // text whole when it is at most wholeLimit long, else cut into parts of at most partLimit
    // UTF-16 units: at a line break within the last half of a part, which then belongs to
    // neither part, else where a line may wrap, else between two characters.
    static QStringList parts(const QString& text);

    // Whether text holds a run longer than runLimit without a point where a line may break.
    Q_INVOKABLE static bool hasLongRun(const QString& text);

    // text for the clipboard: each run of line breaks and control characters becomes one
    // U+FFFD, so that a pasted identifier cannot run a command or hide its end.
    Q_INVOKABLE static QString copyable(const QString& text);
};

} // namespace vorlund
