#include "fonts.h"

#include <QFontDatabase>
#include <QGuiApplication>

namespace vorlund {

namespace {

QFont scaled(QFont font, double factor) {
    // The desktop may give the size in points or in pixels; the other one reads -1.
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(font.pixelSize() * factor));
    return font;
}

QFont monospaced(QFont font) {
    font.setFamilies({QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
    font.setStyleHint(QFont::Monospace);
    return font;
}

} // namespace

Fonts::Fonts(QObject* parent) : QObject(parent) {
    body_ = QGuiApplication::font();
    title2_ = scaled(body_, 1.4);
    title2_.setWeight(QFont::DemiBold);
    caption_ = scaled(body_, 0.85);
    monoCaption_ = monospaced(caption_);
    monoCaption2_ = monospaced(scaled(body_, 0.8));
}

} // namespace vorlund
