import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// The daemon's address, as typed.
TextField {
    id: field

    required property ContentView view
    required property Colours colours

    Layout.fillWidth: true
    text: view.daemonURL
    onTextChanged: view.daemonURL = text
    placeholderText: qsTr("daemon URL")
    placeholderTextColor: colours.secondary
    font: Fonts.monoCaption
    leftPadding: 8 // clear of the rounded corners
    selectByMouse: true
    background: InputFrame {
        objectName: "daemonUrlFrame"
        input: field
        lineColor: field.colours.separator
        implicitWidth: 120
        implicitHeight: 24
    }
    Accessible.name: qsTr("Daemon URL")
}
