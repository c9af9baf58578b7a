import QtQuick
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vorlund

// Green seal with the daemon's shortened key when its signature verified, red seal otherwise.
// The whole badge, seal, caption and the gap between, shows the daemon's whole key in a tooltip
// in both cases.
RowLayout {
    id: badge

    required property bool valid
    required property string daemonKey
    required property color validColor
    required property color invalidColor
    property alias font: caption.font

    spacing: 4

    IconImage {
        objectName: "badgeIcon"
        source: badge.valid ? "icons/sealed-check.svg" : "icons/sealed-cross.svg"
        color: badge.valid ? badge.validColor : badge.invalidColor
        sourceSize: Qt.size(caption.implicitHeight, caption.implicitHeight)
        Accessible.ignored: true
    }

    KeyLabel {
        id: caption
        objectName: "badgeText"
        text: badge.valid ? qsTr("signed by ") + DisplayText.shortened(badge.daemonKey, 8)
                          : qsTr("signature invalid")
        fullText: badge.daemonKey
        toolTipShown: hover.hovered
    }

    HoverHandler {
        id: hover
    }
}
