#pragma once

#include <QQuickImageProvider>

namespace vorlund {

// Icons of the first frame, drawn here rather than read from image files: reading any image file
// makes Qt load and ask every image-format plugin first, the SVG renderer included. Each is drawn
// in black on transparent at the size asked, for the control to tint. URLs:
// "image://drawn/paper-plane".
class DrawnIcons : public QQuickImageProvider {
public:
    DrawnIcons() : QQuickImageProvider(QQuickImageProvider::Image) {}

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace vorlund
