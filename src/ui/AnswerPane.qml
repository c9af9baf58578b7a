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

    // Keys that a read-only answer text takes before the window's shortcuts see them (Qt 6.4),
    // handed on: the window's commands, and Copy, which copies the whole answer when all of it
    // is selected. True when the key was taken.
    function handOn(event, text) {
        if (!pane.commands.handleKey(event.key, event.modifiers)) {
            if (!event.matches(StandardKey.Copy))
                return false;
            text.copyAnswer();
        }
        event.accepted = true;
        return true;
    }

    // The answer's menu for the given text, made on the first right-click, by file, like the
    // menu of a key.
    function openMenu(text) {
        if (!answerMenu.item)
            answerMenu.setSource("AnswerMenu.qml", {
                parent: text
            });
        answerMenu.item.parent = text;
        answerMenu.item.popup();
    }

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

        // The box: the answer as one text or, when it is long, in parts (AnswerParts), made
        // with the first long answer and kept. The frame lies behind whichever shows.
        Item {
            id: box

            readonly property bool parted: pane.view.shownParts.length > 1

            objectName: "responseBox"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumHeight: 100
            Layout.preferredHeight: 100

            InputFrame {
                objectName: "responseFrame"
                anchors.fill: parent
                input: box.parted && partsBox.item ? partsBox.item.contentItem : responseText
                marked: pane.view.unverified
                lineColor: marked ? pane.colours.invalid : pane.colours.separator
            }

            FrameLatch {
                id: shownAnswer
                value: pane.view.shownParts.length > 1 ? "" : pane.view.shownResponse
            }

            ScrollView {
                anchors.fill: parent
                visible: !box.parted
                ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

                // The answer text itself.
                AnswerText {
                    id: responseText
                    objectName: "responseText"
                    // Read from the view alone, so that a long answer never reaches this text;
                    // as of each frame, so that an answer emptied and filled again between two
                    // frames is laid out once.
                    answer: shownAnswer.shown
                    font: Fonts.body
                    readOnly: true
                    selectByMouse: true
                    // Reachable by Tab, so the answer can be selected and copied without a mouse.
                    selectByKeyboard: true
                    topPadding: 4
                    bottomPadding: 4
                    background: null
                    // Named by its label like the prompt editor; the answer is its value. Qt
                    // does not pass on that the text cannot be edited, so it is said here.
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

                    Keys.onPressed: event => pane.handOn(event, responseText)

                    TapHandler {
                        acceptedButtons: Qt.RightButton
                        onTapped: pane.openMenu(responseText)
                    }
                }
            }

            FirstUse {
                id: partsBox
                anchors.fill: parent
                wanted: box.parted
                source: "AnswerParts.qml"
                properties: ({
                        view: pane.view,
                        answerPane: pane,
                        single: responseText
                    })
            }

            Loader {
                id: answerMenu
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
