import QtQuick
import QtQuick.Controls
import Vorlund

// A shortened key or identifier. The whole value is copied by Ctrl+C once Tab has reached
// it, or from its context menu; it shows in a tooltip and reaches screen readers as the
// description, cut for display like every text from a daemon.
Label {
    id: label

    property string fullText
    readonly property string shownFullText: DisplayText.bounded(fullText)
    // A larger whole that the label is part of may show the tooltip for all of it.
    property bool toolTipShown: hover.hovered

    function copy() {
        Clipboard.setText(fullText);
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

    // The menu and the tooltip are made when first wanted, and named by file so that not even
    // their types are loaded with the window.
    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: {
            if (!menu.item)
                menu.setSource("KeyMenu.qml", {
                    parent: label
                });
            menu.item.popup();
        }
    }

    Loader {
        id: menu
    }

    HoverHandler {
        id: hover
    }

    onToolTipShownChanged: if (toolTipShown && !toolTip.item)
        toolTip.setSource("PlainToolTip.qml", {
            parent: label,
            objectName: "keyToolTip"
        })

    Loader {
        id: toolTip
        onLoaded: {
            item.text = Qt.binding(() => label.shownFullText);
            item.visible = Qt.binding(() => label.toolTipShown);
        }
    }
}
