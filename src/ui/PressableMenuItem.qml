import QtQuick
import QtQuick.Controls

// A menu item that a screen reader can press as well: Qt 6.4 leaves a control's accessible
// press to the item itself.
MenuItem {
    Accessible.onPressAction: if (enabled)
        triggered()
}
