import QtQuick
import QtQuick.Controls

ApplicationWindow {
    width: 680
    height: 600
    visible: true

    Label {
        text: "Floor"
    }
}
