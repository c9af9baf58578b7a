import QtQuick

// The rounded frame of a text input. Its line turns into a thicker highlight line while the
// input has keyboard focus, so the focus stays visible without a text cursor (read-only text).
Rectangle {
    required property Item input
    required property color lineColor

    radius: 6
    color: input.palette.base
    border.width: input.activeFocus ? 2 : 1
    border.color: input.activeFocus ? input.palette.highlight : lineColor
}
