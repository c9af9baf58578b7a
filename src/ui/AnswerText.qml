import QtQuick
import QtQuick.Controls
import Vorlund

// The answer as plain text. Laid out with word wrapping, a run without a break point costs the
// square of its length, so text that holds a long one wraps anywhere; the wrap mode is set
// before the text, so that the text is never laid out the costly way first.
TextArea {
    // The text to show.
    property string answer

    function show() {
        wrapMode = DisplayText.hasLongRun(answer) ? TextEdit.WrapAnywhere : TextEdit.Wrap;
        text = answer;
    }

    textFormat: TextEdit.PlainText
    onAnswerChanged: show()
    Component.onCompleted: show()
}
