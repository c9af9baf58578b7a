import QtQuick
import QtQuick.Controls

// The context menu of a KeyLabel, its parent: copies the whole key or identifier.
Menu {
    id: menu

    PressableMenuItem {
        text: qsTr("Copy")
        onTriggered: menu.parent.copy()
    }
}
