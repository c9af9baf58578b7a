import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

ApplicationWindow {
    id: window

    // Windows opened with Ctrl+N go away for good when closed; the first one belongs to main().
    property bool destroyOnClose: false

    readonly property bool darkPalette: palette.window.hslLightness < 0.5
    // The palette's own placeholder and separator shades are too faint to read (about 3.8:1)
    // or to see (about 1.2:1 in a dark palette), so secondary texts and input lines are mixed
    // from the text colour instead: at least 4.5:1 and 3:1 on the window and on input fields.
    readonly property color secondaryColor: blend(palette.windowText, 0.6)
    readonly property color separatorColor: blend(palette.windowText, 0.45)
    readonly property color validColor: darkPalette ? "#5ad17f" : "#1b7a3a"
    readonly property color invalidColor: darkPalette ? "#ff7a70" : "#c4281c"
    readonly property bool unverified: view.sigValid === false
    // UUIDs are case-blind; ours are sent in lower case. A daemon's id may be millions of
    // characters long: only one of the same length is worth a lower-case copy.
    readonly property bool replayed: view.pinchId.length !== view.sentPinchId.length
                                     || view.pinchId.toLowerCase() !== view.sentPinchId

    // colour laid over the window background at the given opacity, as one opaque colour
    function blend(colour, opacity) {
        return Qt.tint(palette.window, Qt.rgba(colour.r, colour.g, colour.b, opacity));
    }

    function sendIfEnabled() {
        if (sendButton.enabled)
            sendButton.clicked();
    }

    function openAnotherWindow() {
        // Parented to the application object, not to this window, so that it outlives this one
        // and is not made a transient child of it.
        const another = Qt.createComponent("Main.qml").createObject(Qt.application, {
            destroyOnClose: true
        });
        another.show();
        another.requestActivate();
    }

    title: qsTr("Merrowin — M0")
    width: 680
    height: 600
    minimumWidth: 580
    minimumHeight: 520
    visible: true

    onClosing: if (destroyOnClose)
        destroy()

    // Writing the prompt is what a window is for; the URL is set once and the button
    // waits for a prompt anyway. The sample stands selected, so the first keystroke replaces it.
    Component.onCompleted: {
        promptEditor.forceActiveFocus();
        promptEditor.selectAll();
    }

    FontMetrics {
        id: errorMetrics
        font: Fonts.caption
    }

    ContentView {
        id: view
        objectName: "contentView"
    }

    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        onActivated: window.sendIfEnabled()
    }

    Shortcut {
        sequences: [StandardKey.New]
        onActivated: window.openAnotherWindow()
    }

    Shortcut {
        sequences: [StandardKey.Close]
        onActivated: window.close()
    }

    // Ctrl+Q whatever the platform's own scheme says: some have no key for quitting.
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: Qt.quit()
    }

    ColumnLayout {
        id: column

        // How far the rows would run past the bottom edge with the prompt editor at its least
        // height. Only then do the messages at the bottom give up lines of their own, and scroll.
        readonly property real overrun: implicitHeight - height
            - (promptBox.Layout.preferredHeight - promptBox.Layout.minimumHeight)

        anchors.fill: parent
        anchors.margins: 20
        spacing: 12

        RowLayout {
            Layout.fillWidth: true

            // A plain Text, because a Label resets its accessible role to static text once a
            // screen reader turns up, and the title is the window's heading.
            Text {
                objectName: "titleText"
                text: qsTr("Merrowin — M0")
                font: Fonts.title2
                color: window.palette.windowText
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }

            Item {
                Layout.fillWidth: true
            }

            SignatureBadge {
                objectName: "signatureBadge"
                visible: view.sigValid !== undefined
                // Unchanged while hidden (sigValid is cleared at every send), so hiding the
                // badge does not load and tint its other icon and lay out its other caption.
                valid: view.sigValid !== false
                daemonKey: view.aPubKey
                validColor: window.validColor
                invalidColor: window.invalidColor
                font: Fonts.monoCaption
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 6

            Label {
                objectName: "identityLabel"
                text: qsTr("you signed as: ")
                font: Fonts.monoCaption2
                color: window.secondaryColor
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

        Label {
            objectName: "daemonUrlLabel"
            text: qsTr("Daemon URL")
            font: Fonts.caption
            color: window.secondaryColor
            Accessible.name: text
        }

        TextField {
            id: urlField
            objectName: "daemonUrlField"
            Layout.fillWidth: true
            text: view.daemonURL
            onTextChanged: view.daemonURL = text
            placeholderText: qsTr("daemon URL")
            placeholderTextColor: window.secondaryColor
            font: Fonts.monoCaption
            leftPadding: 8 // clear of the rounded corners
            selectByMouse: true
            background: InputFrame {
                objectName: "daemonUrlFrame"
                input: urlField
                lineColor: window.separatorColor
                implicitWidth: 120
                implicitHeight: 24
            }
            Accessible.name: qsTr("Daemon URL")
        }

        Label {
            objectName: "pinchLabel"
            text: qsTr("Pinch")
            font: Fonts.caption
            color: window.secondaryColor
            Accessible.name: text
        }

        // Gives up height, down to its least, when the window is too small for every row.
        ScrollView {
            id: promptBox
            objectName: "promptBox"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumHeight: 80
            Layout.preferredHeight: 140
            Layout.maximumHeight: 140
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
            background: InputFrame {
                objectName: "promptFrame"
                input: promptEditor
                lineColor: window.separatorColor
            }

            TextArea {
                id: promptEditor
                objectName: "promptEditor"
                text: view.promptToShow
                onTextChanged: view.takePrompt(textDocument)
                font: Fonts.body
                wrapMode: TextEdit.Wrap
                selectByMouse: true
                background: null
                Accessible.name: qsTr("Pinch")

                // Tab and Shift+Tab move on, as everywhere else in the window, rather than
                // trap the keyboard in the editor; Ctrl+Tab types a tab character.
                Keys.onPressed: event => {
                    if (event.key === Qt.Key_Tab && event.modifiers === Qt.ControlModifier) {
                        remove(selectionStart, selectionEnd);
                        insert(cursorPosition, "\t");
                        event.accepted = true;
                    } else if ((event.key === Qt.Key_Tab || event.key === Qt.Key_Backtab)
                               && (event.modifiers & ~Qt.ShiftModifier) === Qt.NoModifier) {
                        const forward = event.key === Qt.Key_Tab
                            && event.modifiers === Qt.NoModifier;
                        nextItemInFocusChain(forward).forceActiveFocus(
                            forward ? Qt.TabFocusReason : Qt.BacktabFocusReason);
                        event.accepted = true;
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true

            Button {
                id: sendButton
                objectName: "sendButton"
                text: view.isLoading ? qsTr("Thinking…") : qsTr("Send")
                icon.source: "icons/paper-plane.svg"
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

            KeyLabel {
                objectName: "pinchIdText"
                visible: view.pinchId !== ""
                text: qsTr("pinchId: ") + DisplayText.shortened(view.pinchId, 8)
                fullText: view.pinchId
                font: Fonts.monoCaption2
                color: window.secondaryColor
            }

            BusyIndicator {
                objectName: "busyIndicator"
                visible: view.isLoading
                running: view.isLoading
                padding: 1
                Layout.preferredWidth: 18
                Layout.preferredHeight: 18
                Accessible.name: qsTr("Thinking…")
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            Label {
                objectName: "responseLabel"
                text: qsTr("Response")
                font: Fonts.caption
                color: window.secondaryColor
                Accessible.name: text
            }

            // Marks the answer where it is read, beside the badge far above.
            Label {
                objectName: "unverifiedCaption"
                visible: window.unverified
                text: qsTr("Unverified answer")
                font: Fonts.caption
                color: window.invalidColor
                Accessible.name: text
            }
        }

        // A note on the answer sits close under it.
        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 4

            // Takes the height the window has to spare, and is the first to give it up.
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
                    marked: window.unverified
                    lineColor: marked ? window.invalidColor : window.separatorColor
                }

                AnswerText {
                    id: responseText
                    objectName: "responseText"
                    answer: view.shownResponse
                    font: Fonts.body
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
                    Accessible.description: window.unverified ? qsTr("Unverified answer") : ""
                    Accessible.readOnly: readOnly

                    // The box may show the answer cut: copying all it shows copies the whole
                    // answer, exactly as it came.
                    function copyAnswer() {
                        if (view.response !== "" && selectionStart === 0 && selectionEnd === length)
                            Clipboard.setText(view.response);
                        else
                            copy();
                    }

                    // A read-only text edit claims every key before the window's shortcuts see it
                    // (Qt 6.4), so it passes theirs on by hand.
                    Keys.onPressed: event => {
                        const returnKey = event.key === Qt.Key_Return || event.key === Qt.Key_Enter;
                        if (returnKey && (event.modifiers & Qt.ControlModifier))
                            window.sendIfEnabled();
                        else if (event.matches(StandardKey.New))
                            window.openAnotherWindow();
                        else if (event.matches(StandardKey.Close))
                            window.close();
                        else if (event.key === Qt.Key_Q && event.modifiers === Qt.ControlModifier)
                            Qt.quit();
                        else if (event.matches(StandardKey.Copy))
                            copyAnswer();
                        else
                            return;
                        event.accepted = true;
                    }

                    TapHandler {
                        acceptedButtons: Qt.RightButton
                        onTapped: answerMenu.popup()
                    }

                    Menu {
                        id: answerMenu
                        PressableMenuItem {
                            text: qsTr("Copy")
                            enabled: responseText.selectedText !== ""
                            onTriggered: responseText.copyAnswer()
                        }
                        PressableMenuItem {
                            text: qsTr("Select All")
                            onTriggered: responseText.selectAll()
                        }
                    }
                }
            }

            Label {
                objectName: "cutNotice"
                visible: view.responseCut
                Layout.fillWidth: true
                text: qsTr("Showing the first 100,000 characters; Copy copies all of the answer.")
                font: Fonts.caption
                color: window.secondaryColor
                wrapMode: Text.Wrap
                Accessible.name: text
            }
        }

        RowLayout {
            objectName: "resultRow"
            Layout.fillWidth: true
            visible: view.modelVersion !== ""

            Label {
                objectName: "modelText"
                Layout.fillWidth: true
                text: qsTr("model: ") + DisplayText.bounded(view.modelVersion)
                textFormat: Text.PlainText
                elide: Text.ElideRight
                font: Fonts.monoCaption2
                color: window.secondaryColor
                Accessible.name: text
            }

            Label {
                objectName: "latencyText"
                text: view.latencyText + qsTr(" ms")
                font: Fonts.monoCaption2
                color: window.secondaryColor
                Accessible.name: text
            }
        }

        // What the user should know about the last exchange. A daemon's error page can be long:
        // up to four of its lines show and the rest scrolls. Only when the window is too small
        // for every row, with the prompt editor at its least height, does this give up more.
        ScrollView {
            id: messages
            objectName: "messages"

            // all of it, but no more than four lines of the error
            readonly property real wanted: messageColumn.implicitHeight - (errorLabel.visible
                ? Math.max(0, errorLabel.implicitHeight - errorMetrics.lineSpacing * 4) : 0)

            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredHeight: wanted
            Layout.maximumHeight: wanted
            Layout.minimumHeight: Math.max(Math.min(errorMetrics.lineSpacing, wanted),
                                           wanted - Math.max(0, column.overrun))
            visible: window.replayed || view.errorText !== undefined
            clip: true
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

            Column {
                id: messageColumn
                width: messages.availableWidth
                spacing: 4

                // A recorded answer replayed to a new pinch verifies as well as a fresh one.
                Label {
                    objectName: "replayWarning"
                    visible: window.replayed
                    width: parent.width
                    // The id in full: two made within a minute share their first digits.
                    text: qsTr("This answer names another pinch than the one sent (%1): it may be an old answer.")
                          .arg(view.sentPinchId)
                    font: Fonts.caption
                    color: window.invalidColor
                    wrapMode: Text.Wrap
                    Accessible.name: text
                }

                Label {
                    id: errorLabel
                    objectName: "errorText"
                    visible: view.errorText !== undefined
                    width: parent.width
                    // Daemon bodies end up here; show them as text, never as markup.
                    text: view.shownErrorText
                    textFormat: Text.PlainText
                    color: window.invalidColor
                    font: Fonts.caption
                    wrapMode: Text.Wrap
                    Accessible.name: text
                }

                // Most people first meet a daemon that is not running.
                Label {
                    objectName: "refusedHint"
                    visible: view.refusedPort !== undefined
                    width: parent.width
                    text: qsTr("No daemon answers at this address. To try the demo daemon that comes with Vorlund, run: %1")
                          .arg(view.refusedPort === 7575 ? "vorlund-demo-daemon"
                                                         : "vorlund-demo-daemon --port " + view.refusedPort)
                    font: Fonts.caption
                    color: window.secondaryColor
                    wrapMode: Text.Wrap
                    Accessible.name: text
                }
            }
        }
    }
}
