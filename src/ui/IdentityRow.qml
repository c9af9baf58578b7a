import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// Who the user is to every daemon: their public key, shortened.
RowLayout {
    required property ContentView view
    required property Colours colours

    Layout.fillWidth: true
    spacing: 6

    Label {
        objectName: "identityLabel"
        text: qsTr("you signed as: ")
        font: Fonts.monoCaption2
        color: colours.secondary
        Accessible.name: text
    }

    KeyLabel {
        objectName: "identityKey"
        text: DisplayText.shortened(view.state.bPubKeyHex, 16)
        fullText: view.state.bPubKeyHex
        font: Fonts.monoCaption2
    }

    Item {
        Layout.fillWidth: true
    }
}
