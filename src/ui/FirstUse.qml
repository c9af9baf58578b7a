import QtQuick

// Makes its item the first time it is wanted and keeps it from then on, hidden while it is not
// wanted: the window's first frame shows nothing of what these hold. An item named by file
// (source) is made with the given properties, and not even its type is loaded before then.
Loader {
    required property bool wanted
    property var properties: ({})

    function make() {
        if (!active && source.toString() !== "")
            setSource(source, properties);
        active = true;
    }

    visible: wanted
    active: false
    onWantedChanged: if (wanted)
        make()
    Component.onCompleted: if (wanted)
        make()
}
