import QtQuick

// The rounded frame of a text input. Its line turns into a thicker highlight line while the
// input has keyboard focus, so the focus stays visible without a text cursor (read-only text).
// A marked frame keeps its own colour and is a line thicker, focused or not.
Rectangle {
    required property Item input
    required property color lineColor
    property bool marked: false

    radius: 6
    color: input.palette.base
    border.width: (input.activeFocus ? 2 : 1) + (marked ? 1 : 0)
    border.color: input.activeFocus && !marked ? input.palette.highlight : lineColor
}
