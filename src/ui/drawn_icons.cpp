#include "drawn_icons.h"

#include <QPainter>
#include <QPainterPath>

namespace vorlund {

namespace {

// A paper plane on a 24-unit grid, outlined.
void drawPaperPlane(QPainter& painter) {
    QPainterPath path;
    path.moveTo(21.2, 2.8);
    path.lineTo(2.9, 10.1);
    path.lineTo(10.4, 13.6);
    path.lineTo(14, 21.1);
    path.closeSubpath();
    path.moveTo(21.2, 2.8);
    path.lineTo(10.4, 13.6);
    painter.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
}

} // namespace

QImage DrawnIcons::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const QSize shown = requestedSize.isValid() ? requestedSize : QSize(24, 24);
    if (size)
        *size = shown;
    QImage image(shown, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (id == QLatin1String("paper-plane")) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(shown.width() / 24.0, shown.height() / 24.0);
        drawPaperPlane(painter);
    }
    return image;
}

} // namespace vorlund
