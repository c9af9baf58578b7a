import QtQuick

// Marks keyboard focus around its parent as plainly as the thick line of a focused input:
// Fusion only tints a focused button's outline, and a label has no mark at all.
Rectangle {
    anchors.fill: parent
    anchors.margins: -2
    radius: 4
    color: "transparent"
    border.width: 2
    border.color: palette.highlight
}
