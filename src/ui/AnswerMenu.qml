import QtQuick
import QtQuick.Controls

// The context menu of the answer text, its parent.
Menu {
    id: menu

    objectName: "answerMenu"

    PressableMenuItem {
        text: qsTr("Copy")
        enabled: menu.parent.selectedText !== ""
        onTriggered: menu.parent.copyAnswer()
    }
    PressableMenuItem {
        text: qsTr("Select All")
        onTriggered: menu.parent.selectAll()
    }
}
