import QtQuick
import QtQuick.Layouts
import Vorlund

// The window's heading, and the signature badge at the trailing edge once an answer is judged.
RowLayout {
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
        wanted: view.sigValid !== undefined
        sourceComponent: SignatureBadge {
            objectName: "signatureBadge"
            // Unchanged while hidden (sigValid is cleared at every send), so hiding the
            // badge does not load and tint its other icon and lay out its other caption.
            valid: view.sigValid !== false
            daemonKey: view.aPubKey
            validColor: colours.valid
            invalidColor: colours.invalid
            font: Fonts.monoCaption
        }
    }
}
