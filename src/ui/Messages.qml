import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// What the user should know about the last exchange. A daemon's error page can be long: up to
// four of its lines show and the rest scrolls. Only when the window is too small for every row,
// with the prompt editor at its least height, does this give up more.
ScrollView {
    id: messages

    required property ContentView view
    required property Colours colours
    // how far the window's rows run past its bottom edge
    required property real overrun

    // all of it, but no more than four lines of the error
    readonly property real neededHeight: messageColumn.implicitHeight - (errorLabel.visible
        ? Math.max(0, errorLabel.implicitHeight - errorMetrics.lineSpacing * 4) : 0)
    // a line at least, and otherwise what the other rows leave
    readonly property real leastHeight: Math.max(Math.min(errorMetrics.lineSpacing, neededHeight),
                                                 neededHeight - Math.max(0, overrun))

    objectName: "messages"
    clip: true
    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

    FontMetrics {
        id: errorMetrics
        font: Fonts.caption
    }

    Column {
        id: messageColumn
        width: messages.availableWidth
        spacing: 4

        // A recorded answer replayed to a new pinch verifies as well as a fresh one.
        Loader {
            width: parent.width
            active: messages.view.replayed
            visible: active
            sourceComponent: CaptionLabel {
                objectName: "replayWarning"
                colours: messages.colours
                // The id in full: two made within a minute share their first digits.
                text: qsTr("This answer names another pinch than the one sent (%1): it may be an old answer.")
                      .arg(messages.view.sentPinchId)
                color: messages.colours.invalid
                wrapMode: Text.Wrap
            }
        }

        Label {
            id: errorLabel
            objectName: "errorText"
            visible: messages.view.errorText !== undefined
            width: parent.width
            // Daemon bodies end up here; show them as text, never as markup.
            text: messages.view.shownErrorText
            textFormat: Text.PlainText
            color: messages.colours.invalid
            font: Fonts.caption
            wrapMode: Text.Wrap
            Accessible.name: text
        }

        // Most people first meet a daemon that is not running.
        Loader {
            width: parent.width
            active: messages.view.hint !== ""
            visible: active
            sourceComponent: CaptionLabel {
                objectName: "hint"
                colours: messages.colours
                text: messages.view.hint
                wrapMode: Text.Wrap
            }
        }
    }
}
