import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// The answer: its label, the box that shows it with its menu, and a note when it is shown cut.
// The box takes the height the window has to spare, and is the first to give it up.
ColumnLayout {
    id: pane

    required property ContentView view
    required property Colours colours
    required property WindowCommands commands

    Layout.fillWidth: true
    Layout.fillHeight: true
    spacing: 12

    RowLayout {
        Layout.fillWidth: true
        spacing: 12

        CaptionLabel {
            objectName: "responseLabel"
            colours: pane.colours
            text: qsTr("Response")
        }

        // Marks the answer where it is read, beside the badge far above.
        CaptionLabel {
            objectName: "unverifiedCaption"
            colours: pane.colours
            visible: pane.view.unverified
            text: qsTr("Unverified answer")
            color: pane.colours.invalid
        }
    }

    // A note on the answer sits close under it.
    ColumnLayout {
        Layout.fillWidth: true
        Layout.fillHeight: true
        spacing: 4

        ScrollView {
            objectName: "responseBox"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumHeight: 100
            Layout.preferredHeight: 100
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
            background: InputFrame {
                objectName: "responseFrame"
                input: responseText
                marked: pane.view.unverified
                lineColor: marked ? pane.colours.invalid : pane.colours.separator
            }

            // The answer text itself.
            TextArea {
                id: responseText
                objectName: "responseText"
                text: pane.view.response === "" ? "—" : pane.view.shownResponse
                font: Fonts.body
                wrapMode: TextEdit.Wrap
                readOnly: true
                textFormat: TextEdit.PlainText
                selectByMouse: true
                // Reachable by Tab, so the answer can be selected and copied without a mouse.
                selectByKeyboard: true
                topPadding: 4
                bottomPadding: 4
                background: null
                // Named by its label like the prompt editor; the answer is its value. Qt does
                // not pass on that the text cannot be edited, so it is said here.
                Accessible.name: qsTr("Response")
                Accessible.description: pane.view.unverified ? qsTr("Unverified answer") : ""
                Accessible.readOnly: readOnly

                // The box may show the answer cut: copying all it shows copies the whole
                // answer, exactly as it came.
                function copyAnswer() {
                    if (pane.view.response !== "" && selectionStart === 0
                            && selectionEnd === length)
                        Clipboard.setText(pane.view.response);
                    else
                        copy();
                }

                // A read-only text edit claims every key before the window's shortcuts see
                // it (Qt 6.4), so it hands them on.
                Keys.onPressed: event => {
                    if (pane.commands.handleKey(event.key, event.modifiers))
                        event.accepted = true;
                    else if (event.matches(StandardKey.Copy)) {
                        copyAnswer();
                        event.accepted = true;
                    }
                }

                // Made on the first right-click, by file, like the menu of a key.
                TapHandler {
                    acceptedButtons: Qt.RightButton
                    onTapped: {
                        if (!answerMenu.item)
                            answerMenu.setSource("AnswerMenu.qml", {
                                parent: responseText
                            });
                        answerMenu.item.popup();
                    }
                }

                Loader {
                    id: answerMenu
                }
            }
        }

        Loader {
            Layout.fillWidth: true
            active: pane.view.cutNotice !== ""
            visible: active
            sourceComponent: CaptionLabel {
                objectName: "cutNotice"
                colours: pane.colours
                text: pane.view.cutNotice
                wrapMode: Text.Wrap
            }
        }
    }
}
