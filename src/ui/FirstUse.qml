import QtQuick

// Makes its item the first time it is wanted and keeps it from then on, hidden while it is not
// wanted: the window's first frame shows nothing of what these hold.
Loader {
    required property bool wanted

    visible: wanted
    active: false
    onWantedChanged: if (wanted)
        active = true
    Component.onCompleted: if (wanted)
        active = true
}
