#include "display_text.h"

#include <QTextBoundaryFinder>

namespace vorlund {

QString DisplayText::bounded(const QString& text) {
    if (text.size() <= limit)
        return text;
    // A boundary finder walks its whole text; a little past the limit is enough.
    const QStringView head = QStringView(text).left(limit + 16);
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, head);
    graphemes.setPosition(limit);
    if (!graphemes.isAtBoundary())
        graphemes.toPreviousBoundary();
    return head.left(graphemes.position()).toString() + QChar(0x2026);
}

QString DisplayText::shortened(const QString& text, int n) {
    // Only the head is searched: the characters wanted lie within the display limit.
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, QStringView(text).left(limit));
    qsizetype end = 0;
    for (int taken = 0; taken < n && end < text.size() && end < limit; ++taken)
        end = graphemes.toNextBoundary();
    return text.left(end) + QChar(0x2026);
}

} // namespace vorlund
