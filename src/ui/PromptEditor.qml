import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// The prompt, as typed. Gives up height, down to its least, when the window is too small for
// every row.
ScrollView {
    id: box

    required property ContentView view
    required property Colours colours

    // Writing the prompt is what a window is for; the URL is set once and the button waits for
    // a prompt anyway. The sample stands selected, so the first keystroke replaces it.
    function startWriting() {
        editor.forceActiveFocus();
        editor.selectAll();
    }

    Layout.fillWidth: true
    Layout.fillHeight: true
    Layout.minimumHeight: 80
    Layout.preferredHeight: 140
    Layout.maximumHeight: 140
    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
    background: InputFrame {
        objectName: "promptFrame"
        input: editor
        lineColor: box.colours.separator
    }

    TextArea {
        id: editor
        objectName: "promptEditor"
        text: box.view.promptToShow
        onTextChanged: box.view.takePrompt(textDocument)
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
                const forward = event.key === Qt.Key_Tab && event.modifiers === Qt.NoModifier;
                nextItemInFocusChain(forward).forceActiveFocus(
                    forward ? Qt.TabFocusReason : Qt.BacktabFocusReason);
                event.accepted = true;
            }
        }
    }
}
