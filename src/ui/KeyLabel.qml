import QtQuick
import QtQuick.Controls
import Vorlund

// A shortened key or identifier. The whole value shows in a tooltip and reaches screen readers
// as the description, cut for display like every text from a daemon; Ctrl+C, once Tab has
// reached it, or its context menu copies that, without line breaks or control characters.
Label {
    id: label

    property string fullText
    readonly property string shownFullText: DisplayText.bounded(fullText)

    function copy() {
        Clipboard.setText(DisplayText.copyable(shownFullText));
    }

    // Keys and identifiers come from outside: never read them as markup.
    textFormat: Text.PlainText
    activeFocusOnTab: true
    Accessible.name: text
    Accessible.description: shownFullText
    Accessible.focusable: true

    Keys.onPressed: event => {
        if (event.matches(StandardKey.Copy)) {
            copy();
            event.accepted = true;
        }
    }

    FocusRing {
        visible: label.activeFocus
    }

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: menu.popup()
    }

    Menu {
        id: menu
        PressableMenuItem {
            text: qsTr("Copy")
            onTriggered: label.copy()
        }
    }

    HoverHandler {
        id: hover
    }

    PlainToolTip {
        objectName: "keyToolTip"
        visible: hover.hovered
        text: label.shownFullText
    }
}
