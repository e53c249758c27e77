import QtQuick
import QtQuick.Layouts
import QtQuick.Controls

// A symbol followed by a text, both in one colour; the text wraps when space runs out.
RowLayout {
    id: label

    property string symbol
    property alias text: caption.text
    property color color: Theme.primary
    property int pixelSize: Theme.bodySize
    property alias font: caption.font

    spacing: 6

    Icon {
        symbol: label.symbol
        size: label.pixelSize + 4
        color: label.color
        Layout.alignment: Qt.AlignTop
        Layout.preferredHeight: caption.font.pixelSize * 1.3
    }
    Label {
        id: caption
        // Captions carry library errors and names: never markup.
        textFormat: Text.PlainText
        color: label.color
        font.pixelSize: label.pixelSize
        wrapMode: Text.Wrap
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignTop | Qt.AlignLeft
    }
}
