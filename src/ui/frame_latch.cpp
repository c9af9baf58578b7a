#include "frame_latch.h"

namespace vorlund {

FrameLatch::FrameLatch(QQuickItem* parent) : QQuickItem(parent) {
    setVisible(false);
}

void FrameLatch::setValue(const QVariant& value) {
    if (value_ == value && value_.metaType() == value.metaType())
        return;
    value_ = value;
    emit valueChanged();
    // The first value, before there is anything to show, goes straight on.
    if (window() && isComponentComplete())
        polish();
    else
        handOn();
}

void FrameLatch::updatePolish() {
    handOn();
}

void FrameLatch::itemChange(ItemChange change, const ItemChangeData& data) {
    QQuickItem::itemChange(change, data);
    if (change == ItemSceneChange && !data.window)
        handOn();
}

void FrameLatch::handOn() {
    if (shown_ == value_ && shown_.metaType() == value_.metaType())
        return;
    shown_ = value_;
    emit shownChanged();
}

} // namespace vorlund
