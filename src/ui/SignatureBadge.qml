import QtQuick
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vorlund

// Green seal with the daemon's shortened key when its signature verified, red seal otherwise.
// The whole badge, seal, caption and the gap between, shows the daemon's whole key in a tooltip
// in both cases.
RowLayout {
    id: badge

    required property ContentView view
    required property Colours colours
    // Unchanged while hidden (sigValid is cleared at every send), so hiding the badge does not
    // load and tint its other icon and lay out its other caption.
    readonly property bool valid: view.sigValid !== false

    objectName: "signatureBadge"
    spacing: 4

    IconImage {
        objectName: "badgeIcon"
        source: badge.valid ? "icons/sealed-check.svg" : "icons/sealed-cross.svg"
        color: badge.valid ? badge.colours.valid : badge.colours.invalid
        sourceSize: Qt.size(caption.implicitHeight, caption.implicitHeight)
        Accessible.ignored: true
    }

    KeyLabel {
        id: caption
        objectName: "badgeText"
        text: badge.valid ? qsTr("signed by ") + DisplayText.shortened(badge.view.aPubKey, 8)
                          : qsTr("signature invalid")
        fullText: badge.view.aPubKey
        font: Fonts.monoCaption
        toolTipShown: hover.hovered
    }

    HoverHandler {
        id: hover
    }
}
