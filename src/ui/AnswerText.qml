import QtQuick
import QtQuick.Controls
import Vorlund

// The answer as plain text. Laid out with word wrapping, a run without a break point costs the
// square of its length, so text that holds a long one wraps anywhere; the wrap mode is set
// before the text, so that the text is never laid out the costly way first. Nor is it laid
// out before the text is complete, and so its width known.
TextArea {
    // The text to show.
    property string answer
    property bool complete: false

    function show() {
        wrapMode = DisplayText.hasLongRun(answer) ? TextEdit.WrapAnywhere : TextEdit.Wrap;
        text = answer;
    }

    textFormat: TextEdit.PlainText
    onAnswerChanged: if (complete)
        show()
    Component.onCompleted: {
        complete = true;
        show();
    }
}
