import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vorlund

// Send, and what the running or last pinch is.
RowLayout {
    required property ContentView view
    required property Colours colours

    Layout.fillWidth: true

    component SendCaption: Text {
        anchors.verticalCenter: parent.verticalCenter
        font: sendButton.font
        color: sendButton.palette.buttonText
        Accessible.ignored: true
    }

    Button {
        id: sendButton
        objectName: "sendButton"
        text: view.isLoading ? qsTr("Thinking…") : qsTr("Send")
        enabled: view.canSend
        onClicked: view.send()
        // Space presses any button; Return and Enter press this one too, as in a dialog.
        Keys.onReturnPressed: clicked()
        Keys.onEnterPressed: clicked()
        Accessible.name: text
        // Qt 6.4 leaves a button's accessible press to the item itself.
        Accessible.onPressAction: if (enabled)
            clicked()

        // The style's icon and label, but with both captions laid out once: an exchange only
        // swaps which one shows, and a caption that changes is laid out anew every time.
        contentItem: Item {
            implicitWidth: caption.implicitWidth
            implicitHeight: caption.implicitHeight

            Row {
                id: caption
                anchors.centerIn: parent
                spacing: sendButton.spacing

                IconImage {
                    anchors.verticalCenter: parent.verticalCenter
                    source: "image://drawn/paper-plane"
                    sourceSize: Qt.size(16, 16)
                    color: sendButton.palette.buttonText
                }

                SendCaption {
                    visible: !view.isLoading
                    text: qsTr("Send")
                }

                SendCaption {
                    visible: view.isLoading
                    text: qsTr("Thinking…")
                }
            }
        }

        FocusRing {
            objectName: "sendFocusRing"
            visible: sendButton.visualFocus
        }
    }

    Item {
        Layout.fillWidth: true
    }

    FirstUse {
        wanted: view.pinchId !== ""
        sourceComponent: KeyLabel {
            objectName: "pinchIdText"
            text: qsTr("pinchId: ") + DisplayText.shortened(view.pinchId, 8)
            fullText: view.pinchId
            font: Fonts.monoCaption2
            color: colours.secondary
        }
    }

    FirstUse {
        wanted: view.isLoading
        Layout.preferredWidth: 18
        Layout.preferredHeight: 18
        source: "ThinkingIndicator.qml"
    }
}
