import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import QtQuick.Layouts

// Green seal with the daemon's shortened key when its signature verified, red seal otherwise.
RowLayout {
    id: badge

    required property bool valid
    required property string daemonKey
    required property string shortKey
    required property color validColor
    required property color invalidColor
    property alias font: caption.font

    spacing: 4

    Accessible.role: Accessible.StaticText
    Accessible.name: caption.text
    Accessible.description: daemonKey

    IconImage {
        objectName: "badgeIcon"
        source: badge.valid ? "icons/sealed-check.svg" : "icons/sealed-cross.svg"
        color: badge.valid ? badge.validColor : badge.invalidColor
        sourceSize: Qt.size(caption.implicitHeight, caption.implicitHeight)
        Accessible.ignored: true
    }

    Label {
        id: caption
        objectName: "badgeText"
        text: badge.valid ? qsTr("signed by ") + badge.shortKey : qsTr("signature invalid")
        textFormat: Text.PlainText
        Accessible.ignored: true
    }

    HoverHandler {
        id: hover
    }

    ToolTip.visible: hover.hovered
    ToolTip.delay: 500
    ToolTip.text: badge.daemonKey
}
