import QtQuick
import QtQuick.Controls

// A shortened key or identifier; the full value shows in a tooltip and reaches screen readers
// as the description.
Label {
    id: label

    property string fullText

    // Keys and identifiers come from outside: never read them as markup.
    textFormat: Text.PlainText
    Accessible.name: text
    Accessible.description: fullText

    HoverHandler {
        id: hover
    }

    ToolTip.visible: hover.hovered
    ToolTip.delay: 500
    ToolTip.text: fullText
}
