import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import QtQuick.Layouts
import QtQuick.Templates as T
import Vorlund

// Send, and what the running or last pinch is.
RowLayout {
    required property ContentView view
    required property Colours colours

    Layout.fillWidth: true

    component SendCaption: Text {
        anchors.verticalCenter: parent.verticalCenter
        font: sendButton.font
        color: sendButton.captionColour
        Accessible.ignored: true
    }

    component SendIcon: IconImage {
        anchors.fill: parent
        source: "image://drawn/paper-plane"
        sourceSize: Qt.size(16, 16)
    }

    // Drawn as the style draws a push button, in colours worked out once from the window's
    // palette. The style's button draws from a palette of its own, whose colour group follows
    // the button's state, so that each switch between enabled and disabled, twice an exchange,
    // worked out and painted all of the button anew.
    T.Button {
        id: sendButton

        readonly property color captionColour: enabled ? colours.palette.buttonText
                                                       : colours.palette.disabled.buttonText

        objectName: "sendButton"
        implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                                implicitContentWidth + leftPadding + rightPadding)
        implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                                 implicitContentHeight + topPadding + bottomPadding)
        padding: 4
        spacing: 6
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

        // The icon and the caption, with both captions laid out once: an exchange only swaps
        // which one shows, and a caption that changes is laid out anew every time.
        contentItem: Item {
            implicitWidth: caption.implicitWidth
            implicitHeight: caption.implicitHeight

            Row {
                id: caption
                anchors.centerIn: parent
                spacing: sendButton.spacing

                // The icon in both colours, each tinted once: tinting one icon anew at every
                // switch between enabled and disabled loads and draws it again.
                Item {
                    anchors.verticalCenter: parent.verticalCenter
                    implicitWidth: 16
                    implicitHeight: 16

                    SendIcon {
                        visible: sendButton.enabled
                        color: colours.palette.buttonText
                    }

                    SendIcon {
                        visible: !sendButton.enabled
                        color: colours.palette.disabled.buttonText
                    }
                }

                SendCaption {
                    visible: !busy.shown
                    text: qsTr("Send")
                }

                SendCaption {
                    visible: busy.shown
                    text: qsTr("Thinking…")
                }
            }
        }

        background: Rectangle {
            id: panel

            readonly property color plainFace: face(colours.palette.button, false)
            readonly property color hoveredFace: face(colours.palette.button, true)
            readonly property color disabledFace: face(colours.palette.disabled.button, false)
            readonly property color shownFace: !sendButton.enabled ? disabledFace
                                             : sendButton.hovered ? hoveredFace : plainFace
            // The style's outline: the window's, lighter while disabled; with focus the
            // highlight's, no lighter than 160 of 255.
            readonly property color line: Qt.darker(colours.palette.window, 1.4)
            readonly property color disabledLine:
                Qt.lighter(Qt.darker(colours.palette.disabled.window, 1.4), 1.15)
            readonly property color focusLine: {
                const line = Qt.darker(colours.palette.highlight, 1.25);
                return line.hsvValue <= 160 / 255
                    ? line : Qt.hsla(line.hsvHue, line.hsvSaturation, 160 / 255, line.a);
            }

            // The style's face for a button colour: lighter the darker it is, a quarter less
            // saturated, and a little darker unless hovered.
            function face(button, hovered) {
                const grey = Math.floor((Math.round(button.r * 255) * 11
                                         + Math.round(button.g * 255) * 16
                                         + Math.round(button.b * 255) * 5) / 32);
                const lit = Qt.lighter(button, 1 + Math.max(1, Math.trunc((180 - grey) / 6)) / 100);
                const saturation = Math.floor(Math.round(lit.hsvSaturation * 255) * 0.75) / 255;
                const face = Qt.hsva(lit.hsvHue, saturation, lit.hsvValue, lit.a);
                return hovered ? face : Qt.darker(face, 1.04);
            }

            implicitWidth: 80
            implicitHeight: 24
            radius: 2
            // Pressed, flat and darker.
            color: sendButton.down ? Qt.darker(shownFace, 1.1) : shownFace
            gradient: sendButton.down ? null : raised
            border.color: !sendButton.enabled ? disabledLine
                        : sendButton.visualFocus ? focusLine : line

            Gradient {
                id: raised

                GradientStop {
                    position: 0
                    color: Qt.lighter(panel.shownFace, 1.24)
                }

                GradientStop {
                    position: 1
                    color: Qt.lighter(panel.shownFace, 1.02)
                }
            }

            // The style's faint inner line.
            Rectangle {
                x: 1
                y: 1
                width: parent.width - 2
                height: parent.height - 2
                radius: 2
                color: "transparent"
                border.color: Qt.rgba(1, 1, 1, 30 / 255)
            }
        }

        // Whether an exchange runs, as of each frame: an exchange that ends before the next
        // frame changes nothing that shows but the button's state.
        FrameLatch {
            id: busy
            value: view.isLoading
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
        wanted: view.shownPinchId !== ""
        sourceComponent: KeyLabel {
            objectName: "pinchIdText"
            text: qsTr("pinchId: ") + DisplayText.shortened(view.shownPinchId, 8)
            fullText: view.shownPinchId
            font: Fonts.monoCaption2
            color: colours.secondary
        }
    }

    FirstUse {
        wanted: busy.shown
        Layout.preferredWidth: 18
        Layout.preferredHeight: 18
        source: "ThinkingIndicator.qml"
    }
}
