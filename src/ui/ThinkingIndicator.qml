import QtQuick
import QtQuick.Controls

// Turns while an exchange runs, that is while it is shown.
BusyIndicator {
    objectName: "busyIndicator"
    running: visible
    padding: 1
    Accessible.name: qsTr("Thinking…")
}
