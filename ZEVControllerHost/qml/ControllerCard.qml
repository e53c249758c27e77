import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// One connected controller: its player chip and name above its live drawing.
Rectangle {
    id: card

    // A `clients` entry: id, name, playerNumber, isStale, state.
    property var client: ({})

    implicitWidth: 320
    implicitHeight: column.implicitHeight + 32
    radius: 18
    color: Theme.cardBackground
    border.color: Theme.separator
    border.width: Theme.isDark ? 0 : 1

    ColumnLayout {
        id: column
        x: 16
        y: 16
        width: card.width - 32
        spacing: 12

        RowLayout {
            spacing: 8
            Layout.fillWidth: true

            Rectangle {
                objectName: "playerChip"
                implicitWidth: chipText.implicitWidth + 16
                implicitHeight: chipText.implicitHeight + 6
                radius: height / 2
                color: Theme.accent
                Label {
                    id: chipText
                    anchors.centerIn: parent
                    text: "P" + (card.client.playerNumber || 0)
                    font.pixelSize: Theme.captionSize
                    font.weight: Font.Black
                    color: "white"
                }
            }
            Label {
                text: card.client.name || ""
                textFormat: Text.PlainText
                font.pixelSize: Theme.headlineSize
                font.bold: true
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
        }

        ControllerPreview {
            controllerState: card.client.state || ({})
            isStale: !!card.client.isStale
            Layout.fillWidth: true
            Layout.preferredHeight: width / 1.8
        }
    }
}
