import QtQuick

// The window's colours, mixed from its palette. The palette's own placeholder and separator
// shades are too faint to read (about 3.8:1) or to see (about 1.2:1 in a dark palette), so
// secondary texts and input lines are mixed from the text colour instead: at least 4.5:1 and
// 3:1 on the window and on input fields.
QtObject {
    required property var palette

    readonly property bool dark: palette.window.hslLightness < 0.5
    readonly property color secondary: blend(palette.windowText, 0.6)
    readonly property color separator: blend(palette.windowText, 0.45)
    readonly property color valid: dark ? "#5ad17f" : "#1b7a3a"
    readonly property color invalid: dark ? "#ff7a70" : "#c4281c"

    // colour laid over the window background at the given opacity, as one opaque colour
    function blend(colour, opacity) {
        return Qt.tint(palette.window, Qt.rgba(colour.r, colour.g, colour.b, opacity));
    }
}
