import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// One window: its state, its commands, and the parts that show them.
ApplicationWindow {
    id: window

    // Windows opened with Ctrl+N go away for good when closed; the first one belongs to main().
    property bool destroyOnClose: false

    function run(command) {
        if (command === "send") {
            if (contentView.canSend)
                contentView.send();
        } else if (command === "newWindow") {
            // Parented to the application object, not to this window, so that it outlives this
            // one and is not made a transient child of it.
            const another = Qt.createComponent("Main.qml").createObject(Qt.application, {
                destroyOnClose: true
            });
            another.show();
            another.requestActivate();
        } else if (command === "closeWindow") {
            close();
        } else if (command === "quit") {
            Qt.quit();
        }
    }

    title: qsTr("Merrowin — M0")
    width: 680
    height: 600
    minimumWidth: 580
    minimumHeight: 520
    visible: true

    onClosing: if (destroyOnClose)
        destroy()
    Component.onCompleted: prompt.startWriting()

    ContentView {
        id: contentView
        objectName: "contentView"
    }

    WindowCommands {
        id: commands
        window: window
        onTriggered: command => window.run(command)
    }

    Colours {
        id: windowColours
        palette: window.palette
    }

    ColumnLayout {
        id: column

        // How far the rows would run past the bottom edge with the prompt editor at its least
        // height. Only then do the messages at the bottom give up lines of their own, and scroll.
        readonly property real overrun: implicitHeight - height
            - (prompt.Layout.preferredHeight - prompt.Layout.minimumHeight)

        anchors.fill: parent
        anchors.margins: 20
        spacing: 12

        TitleRow {
            view: contentView
            colours: windowColours
        }

        IdentityRow {
            view: contentView
            colours: windowColours
        }

        CaptionLabel {
            objectName: "daemonUrlLabel"
            colours: windowColours
            text: qsTr("Daemon URL")
        }

        DaemonUrlField {
            objectName: "daemonUrlField"
            view: contentView
            colours: windowColours
        }

        CaptionLabel {
            objectName: "pinchLabel"
            colours: windowColours
            text: qsTr("Pinch")
        }

        PromptEditor {
            id: prompt
            objectName: "promptBox"
            view: contentView
            colours: windowColours
        }

        ActionRow {
            view: contentView
            colours: windowColours
        }

        AnswerPane {
            view: contentView
            colours: windowColours
            commands: commands
        }

        FirstUse {
            Layout.fillWidth: true
            wanted: contentView.modelVersion !== ""
            source: "ResultRow.qml"
            properties: ({
                    view: contentView,
                    colours: windowColours
                })
        }

        FirstUse {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredHeight: item ? item.neededHeight : 0
            Layout.maximumHeight: Layout.preferredHeight
            Layout.minimumHeight: item ? item.leastHeight : 0
            wanted: contentView.replayed || contentView.errorText !== undefined
            source: "Messages.qml"
            properties: ({
                    view: contentView,
                    colours: windowColours,
                    overrun: Qt.binding(() => column.overrun)
                })
        }
    }
}
