#include "frame_latch.h"

#include <QQuickWindow>

namespace vorlund {

namespace {

bool same(const QVariant& a, const QVariant& b) {
    return a.metaType() == b.metaType() && a == b;
}

} // namespace

void FrameLatch::setValue(const QVariant& value) {
    if (same(value_, value))
        return;
    value_ = value;
    emit valueChanged();
    // The first value, before there is anything to show, goes straight on; so does every value
    // while the window is hidden or minimised, where no frame comes and a screen reader would
    // otherwise read the old one.
    if (window() && window()->isExposed() && isComponentComplete())
        polish();
    else
        handOn();
}

void FrameLatch::updatePolish() {
    handOn();
}

void FrameLatch::handOn() {
    if (same(shown_, value_))
        return;
    shown_ = value_;
    emit shownChanged();
}

} // namespace vorlund
