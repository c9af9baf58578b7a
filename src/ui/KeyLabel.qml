import QtQuick
import QtQuick.Controls
import Vorlund

// A shortened key or identifier. The whole value shows in a tooltip and reaches screen readers
// as the description, cut for display like every text from a daemon.
Label {
    id: label

    property string fullText
    readonly property string shownFullText: DisplayText.bounded(fullText)

    // Keys and identifiers come from outside: never read them as markup.
    textFormat: Text.PlainText
    Accessible.name: text
    Accessible.description: shownFullText

    HoverHandler {
        id: hover
    }

    PlainToolTip {
        objectName: "keyToolTip"
        visible: hover.hovered
        text: label.shownFullText
    }
}
