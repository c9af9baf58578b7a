import QtQuick
import QtQuick.Controls

// The style's tooltip reads its text as markup when it looks like some, and would then load
// the images it names. Tooltips here carry daemon texts, so they show plain text only, and lay
// it out only while they are open.
ToolTip {
    id: tip

    delay: 500
    contentItem: Text {
        text: tip.visible ? tip.text : ""
        textFormat: Text.PlainText
        font: tip.font
        wrapMode: Text.Wrap
        color: tip.palette.toolTipText
    }
}
