import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// Send, and what the running or last pinch is.
RowLayout {
    required property ContentView view
    required property Colours colours

    Layout.fillWidth: true

    Button {
        id: sendButton
        objectName: "sendButton"
        text: view.isLoading ? qsTr("Thinking…") : qsTr("Send")
        icon.source: "image://drawn/paper-plane"
        icon.color: palette.buttonText
        enabled: view.canSend
        onClicked: view.send()
        // Space presses any button; Return and Enter press this one too, as in a dialog.
        Keys.onReturnPressed: clicked()
        Keys.onEnterPressed: clicked()
        Accessible.name: text
        // Qt 6.4 leaves a button's accessible press to the item itself.
        Accessible.onPressAction: if (enabled)
            clicked()

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
