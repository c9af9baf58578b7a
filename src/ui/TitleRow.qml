import QtQuick
import QtQuick.Layouts
import Vorlund

// The window's heading, and the signature badge at the trailing edge once an answer is judged.
RowLayout {
    id: row

    required property ContentView view
    required property Colours colours

    Layout.fillWidth: true

    // A plain Text, because a Label resets its accessible role to static text once a
    // screen reader turns up, and the title is the window's heading.
    Text {
        objectName: "titleText"
        text: qsTr("Merrowin — M0")
        font: Fonts.title2
        color: palette.windowText
        Accessible.role: Accessible.Heading
        Accessible.name: text
    }

    Item {
        Layout.fillWidth: true
    }

    FirstUse {
        wanted: row.view.sigValid !== undefined
        source: "SignatureBadge.qml"
        properties: ({
                view: row.view,
                colours: row.colours
            })
    }
}
