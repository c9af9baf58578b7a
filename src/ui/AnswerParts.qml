import QtQuick
import QtQuick.Controls
import Vorlund

// A long answer, in the parts of view.shownParts, each a text of its own. Only the parts in
// view exist and are laid out, on arrival and on every resize. Text is selected within one
// part; Select All selects the whole answer, and then Copy copies it exactly as it came.
// The list itself holds the keyboard focus, and is the text that a screen reader reads. It
// scrolls in a scroll view, as the answer shown as one text does.
ScrollView {
    id: box

    required property ContentView view
    // The pane, which hands on keys and opens the menu for its answer texts.
    required property Item answerPane
    // The answer as one text, which this stands in for: named and described as it is.
    required property Item single

    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

    ListView {
        id: parts

        readonly property ContentView view: box.view
        readonly property Item answerPane: box.answerPane

        // The whole answer is selected.
        property bool allSelected: false
        // The part in which text is being selected.
        property Item selecting: null
        readonly property string selectedText: allSelected
            ? text : selecting ? selecting.selectedText : ""
        readonly property string text: view.shownResponse

        function selectAll() {
            selecting = null;
            allSelected = true;
        }

        function copyAnswer() {
            if (allSelected)
                Clipboard.setText(view.response);
            else if (selecting)
                selecting.copy();
        }

        function scrollBy(distance) {
            contentY = Math.max(originY, Math.min(contentY + distance,
                                                  originY + contentHeight - height));
        }

        objectName: "responseParts"
        model: view.shownParts.length > 1 ? view.shownParts : []
        clip: true
        activeFocusOnTab: true
        keyNavigationEnabled: false
        boundsBehavior: Flickable.StopAtBounds
        // Parts are made as they scroll into view: a part kept out of view would be laid out again
        // on every resize.
        cacheBuffer: 0
        onModelChanged: {
            allSelected = false;
            selecting = null;
        }

        Keys.onPressed: event => {
            const line = lines.height;
            if (parts.answerPane.handOn(event, parts))
                return;
            if (event.matches(StandardKey.SelectAll))
                selectAll();
            else if (event.key === Qt.Key_Down || event.key === Qt.Key_Up)
                scrollBy(event.key === Qt.Key_Down ? 3 * line : -3 * line);
            else if (event.key === Qt.Key_PageDown || event.key === Qt.Key_PageUp)
                scrollBy(event.key === Qt.Key_PageDown ? height - line : line - height);
            else if (event.key === Qt.Key_Home)
                positionViewAtBeginning();
            else if (event.key === Qt.Key_End)
                positionViewAtEnd();
            else
                return;
            event.accepted = true;
        }

        FontMetrics {
            id: lines
            font: Fonts.body
        }

        Accessible.role: Accessible.EditableText
        Accessible.name: box.single.Accessible.name
        Accessible.description: box.single.Accessible.description
        Accessible.focusable: true
        Accessible.readOnly: true

        // Each part in an item of its own: a text area right inside the list would take the list
        // for its own scrolling area, as inside a scroll view, and size it to itself.
        delegate: Item {
            required property string modelData
            required property int index

            width: parts.width
            height: part.height
            // The list gives the focus to its current part; it stays with the list.
            onFocusChanged: focus = false

            AnswerText {
                id: part

                width: parent.width
                answer: parent.modelData
                font: Fonts.body
                readOnly: true
                selectByMouse: true
                // The list keeps the focus, so that its keys and its screen reader text stay whole.
                activeFocusOnPress: false
                activeFocusOnTab: false
                topPadding: parent.index === 0 ? 4 : 0
                bottomPadding: parent.index === parts.count - 1 ? 4 : 0
                background: null
                Accessible.ignored: true

                onPressed: {
                    parts.forceActiveFocus(Qt.MouseFocusReason);
                    parts.allSelected = false;
                    parts.selecting = part;
                }
                onTextChanged: if (parts.allSelected)
                    selectAll()

                TapHandler {
                    acceptedButtons: Qt.RightButton
                    onTapped: parts.answerPane.openMenu(parts)
                }

                Connections {
                    target: parts
                    function onAllSelectedChanged() {
                        if (parts.allSelected)
                            part.selectAll();
                        else
                            part.deselect();
                    }
                    function onSelectingChanged() {
                        if (parts.selecting !== part)
                            part.deselect();
                    }
                }
            }
        }
    }
}
