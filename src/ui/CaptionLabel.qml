import QtQuick
import QtQuick.Controls
import Vorlund

// The small grey name above a part of the window.
Label {
    required property Colours colours

    font: Fonts.caption
    color: colours.secondary
    Accessible.name: text
}
