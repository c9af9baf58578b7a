import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Why the program cannot start, for someone who started it from a menu and sees no terminal.
ApplicationWindow {
    id: box

    required property string message

    title: qsTr("Vorlund cannot start")
    flags: Qt.Dialog
    modality: Qt.ApplicationModal
    width: 460
    height: content.implicitHeight + 40
    minimumWidth: 300
    minimumHeight: height
    visible: true

    Shortcut {
        sequences: [StandardKey.Cancel, "Return", "Enter"]
        onActivated: box.close()
    }

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 20
        spacing: 16

        Label {
            Layout.fillWidth: true
            text: box.message
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
        }

        Button {
            Layout.alignment: Qt.AlignRight
            text: qsTr("Close")
            focus: true
            onClicked: box.close()
        }
    }
}
