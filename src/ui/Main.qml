import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

ApplicationWindow {
    id: window

    // Windows opened with Ctrl+N go away for good when closed; the first one belongs to main().
    property bool destroyOnClose: false

    readonly property bool darkPalette: palette.window.hslLightness < 0.5
    readonly property color secondaryColor: palette.placeholderText
    readonly property color separatorColor: palette.mid
    readonly property color validColor: darkPalette ? "#5ad17f" : "#1b7a3a"
    readonly property color invalidColor: darkPalette ? "#ff7a70" : "#c4281c"

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
        onActivated: if (sendButton.enabled)
            sendButton.clicked()
    }

    Shortcut {
        sequences: [StandardKey.New]
        onActivated: window.openAnotherWindow()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 12

        RowLayout {
            Layout.fillWidth: true

            Label {
                objectName: "titleText"
                text: qsTr("Merrowin — M0")
                font: Fonts.title2
                Accessible.name: text
            }

            Item {
                Layout.fillWidth: true
            }

            SignatureBadge {
                objectName: "signatureBadge"
                visible: view.sigValid !== undefined
                valid: view.sigValid === true
                daemonKey: view.aPubKey
                shortKey: view.shortened(view.aPubKey, 8)
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
                text: view.shortened(view.state.bPubKeyHex, 16)
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
            objectName: "daemonUrlField"
            Layout.fillWidth: true
            text: view.daemonURL
            onTextChanged: view.daemonURL = text
            placeholderText: qsTr("daemon URL")
            font: Fonts.monoCaption
            selectByMouse: true
            Accessible.name: qsTr("Daemon URL")
        }

        Label {
            objectName: "pinchLabel"
            text: qsTr("Pinch")
            font: Fonts.caption
            color: window.secondaryColor
            Accessible.name: text
        }

        ScrollView {
            objectName: "promptBox"
            Layout.fillWidth: true
            Layout.minimumHeight: 80
            Layout.preferredHeight: 140
            Layout.maximumHeight: 140
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
            background: Rectangle {
                color: window.palette.base
                radius: 6
                border.width: 1
                border.color: window.separatorColor
            }

            TextArea {
                objectName: "promptEditor"
                text: view.prompt
                onTextChanged: view.prompt = text
                font: Fonts.body
                wrapMode: TextEdit.Wrap
                selectByMouse: true
                background: null
                Accessible.name: qsTr("Pinch")
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
                Accessible.name: text
            }

            Item {
                Layout.fillWidth: true
            }

            KeyLabel {
                objectName: "pinchIdText"
                visible: view.pinchId !== ""
                text: qsTr("pinchId: ") + view.shortened(view.pinchId, 8)
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

        Label {
            objectName: "responseLabel"
            text: qsTr("Response")
            font: Fonts.caption
            color: window.secondaryColor
            Accessible.name: text
        }

        ScrollView {
            objectName: "responseBox"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumHeight: 100
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
            background: Rectangle {
                color: window.palette.base
                radius: 6
                border.width: 1
                border.color: window.separatorColor
            }

            TextArea {
                objectName: "responseText"
                text: view.response === "" ? "—" : view.response
                font: Fonts.body
                wrapMode: TextEdit.Wrap
                readOnly: true
                textFormat: TextEdit.PlainText
                selectByMouse: true
                topPadding: 4
                bottomPadding: 4
                background: null
                Accessible.name: text
            }
        }

        RowLayout {
            objectName: "resultRow"
            Layout.fillWidth: true
            visible: view.modelVersion !== ""

            Label {
                objectName: "modelText"
                text: qsTr("model: ") + view.modelVersion
                textFormat: Text.PlainText
                font: Fonts.monoCaption2
                color: window.secondaryColor
                Accessible.name: text
            }

            Item {
                Layout.fillWidth: true
            }

            Label {
                objectName: "latencyText"
                text: view.latencyText + qsTr(" ms")
                font: Fonts.monoCaption2
                color: window.secondaryColor
                Accessible.name: text
            }
        }

        // A daemon's error page can be long: a few lines show, the rest scrolls, and the
        // boxes above keep their room.
        ScrollView {
            id: errorLine
            objectName: "errorLine"
            Layout.fillWidth: true
            Layout.maximumHeight: errorMetrics.lineSpacing * 4
            visible: view.errorText !== undefined
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

            Label {
                id: errorLabel
                objectName: "errorText"
                width: errorLine.availableWidth
                // Daemon bodies end up here; show them as text, never as markup.
                text: view.errorText === undefined ? "" : view.errorText
                textFormat: Text.PlainText
                color: window.invalidColor
                font: Fonts.caption
                wrapMode: Text.Wrap
                Accessible.name: text
            }
        }
    }
}
