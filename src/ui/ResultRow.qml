import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vorlund

// The model that answered and how long it took, once an answer names a model.
RowLayout {
    required property ContentView view
    required property Colours colours

    objectName: "resultRow"

    Label {
        objectName: "modelText"
        Layout.fillWidth: true
        text: qsTr("model: ") + DisplayText.bounded(view.modelVersion)
        textFormat: Text.PlainText
        elide: Text.ElideRight
        font: Fonts.monoCaption2
        color: colours.secondary
        Accessible.name: text
    }

    Label {
        objectName: "latencyText"
        text: view.latencyText + qsTr(" ms")
        font: Fonts.monoCaption2
        color: colours.secondary
        Accessible.name: text
    }
}
