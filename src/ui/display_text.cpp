#include "display_text.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace vorlund {

namespace {

// The first clusterLimit code points of a character.
QStringView capped(QStringView character) {
    qsizetype end = 0;
    for (qsizetype points = 0; points < DisplayText::clusterLimit && end < character.size();
         ++points)
        end += character[end].isHighSurrogate() && end + 1 < character.size() ? 2 : 1;
    return character.left(end);
}

struct Head {
    QString text;
    bool whole = true; // all of the text, unchanged
};

// Up to maxCharacters characters of text within maxUnits UTF-16 units, each capped. Only a
// window of the text is looked at, so the cost is bounded whatever its length: a character
// that runs past the window is longer than the cap anyway.
Head takeHead(const QString& text, qsizetype maxCharacters, qsizetype maxUnits) {
    const QStringView window = QStringView(text).left(maxUnits + 2 * DisplayText::clusterLimit);
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, window);
    Head head;
    bool changed = false; // head.text holds the characters taken so far only once one is capped
    qsizetype start = 0, taken = 0;
    for (qsizetype n = 0; n < maxCharacters && start < window.size(); ++n) {
        const qsizetype end = graphemes.toNextBoundary();
        const QStringView kept = capped(window.sliced(start, end - start));
        if (taken + kept.size() > maxUnits)
            break;
        if (!changed && kept.size() < end - start) {
            head.text = text.left(start);
            changed = true;
        }
        if (changed)
            head.text += kept;
        taken += kept.size();
        start = end;
    }
    if (!changed)
        head.text = start == text.size() ? text : text.left(start);
    head.whole = !changed && start == text.size();
    return head;
}

bool isLineBreak(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
}

// The last boundary of the given kind in text[from, to], or -1.
qsizetype lastBoundary(QTextBoundaryFinder::BoundaryType kind, QStringView text, qsizetype from,
                       qsizetype to) {
    // A little past the end, so that the finder sees what follows the last candidate.
    const QStringView window = text.sliced(from, std::min(text.size(), to + 4) - from);
    QTextBoundaryFinder finder(kind, window);
    finder.setPosition(to - from);
    const qsizetype at = finder.isAtBoundary() ? to - from : finder.toPreviousBoundary();
    return at > 0 ? from + at : -1;
}

bool isDropped(char16_t c) {
    // C0 and C1 controls with DEL, the Unicode line and paragraph separators, and the bidi
    // embeddings, overrides and isolates, which can make a pasted text read otherwise.
    return QChar::category(c) == QChar::Other_Control || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString DisplayText::head(const QString& text, qsizetype limit) {
    Head head = takeHead(text, limit, limit);
    return head.whole ? head.text : head.text + QChar(0x2026);
}

QString DisplayText::shortened(const QString& text, int n) {
    return takeHead(text, n, n * 2 * clusterLimit).text + QChar(0x2026);
}

QString DisplayText::fewerParagraphs(const QString& text) {
    const auto isBreak = [](QChar c) {
        return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator;
    };
    const qsizetype breaks = std::count_if(text.begin(), text.end(), isBreak);
    if (breaks < blockLimit)
        return text;
    const qsizetype group = breaks / blockLimit + 1;
    QString fewer;
    fewer.reserve(text.size());
    qsizetype seen = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isBreak(text[i])) {
            fewer += text[i];
            continue;
        }
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i; // one break, as the document reads it
        fewer += ++seen % group == 0 ? QChar(u'\n') : QChar(QChar::LineSeparator);
    }
    return fewer;
}

QStringList DisplayText::parts(const QString& text) {
    if (text.size() <= wholeLimit)
        return {text};
    QStringList parts;
    const QStringView all(text);
    qsizetype start = 0;
    while (text.size() - start > partLimit) {
        const qsizetype limit = start + partLimit, half = start + partLimit / 2;
        qsizetype end = limit; // the line break that ends the part, which then is dropped
        while (end >= half && !isLineBreak(text[end]))
            --end;
        qsizetype next = end + 1;
        if (end >= half) {
            if (text[end] == u'\r' && next < text.size() && text[next] == u'\n')
                ++next;
            else if (text[end] == u'\n' && text[end - 1] == u'\r')
                --end;
        } else {
            end = lastBoundary(QTextBoundaryFinder::Line, all, half, limit);
            if (end < 0)
                end = lastBoundary(QTextBoundaryFinder::Grapheme, all, half, limit);
            if (end < 0) // within a character of more than partLimit / 2 units
                end = text[limit - 1].isHighSurrogate() ? limit - 1 : limit;
            next = end;
        }
        parts << text.sliced(start, end - start);
        start = next;
    }
    parts << text.sliced(start);
    return parts;
}

bool DisplayText::hasLongRun(const QString& text) {
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    for (qsizetype last = 0, next = 0; next >= 0; last = next) {
        next = breaks.toNextBoundary();
        if ((next < 0 ? text.size() : next) - last > runLimit)
            return true;
    }
    return false;
}

QString DisplayText::copyable(const QString& text) {
    QString copied;
    copied.reserve(text.size());
    bool marked = false;
    for (const QChar c : text) { // every character dropped lies in the BMP
        const bool dropped = isDropped(c.unicode());
        if (!dropped)
            copied += c;
        else if (!marked)
            copied += QChar(QChar::ReplacementCharacter);
        marked = dropped;
    }
    return copied;
}

} // namespace vorlund
