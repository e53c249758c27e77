import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// Why controller input does not reach games right now, with the one button that fixes it.
Rectangle {
    id: banner

    property string message

    readonly property bool isGamepadMode: host.outputMode === "gamepad"

    implicitHeight: row.implicitHeight + 24
    radius: 12
    color: Qt.rgba(Theme.orange.r, Theme.orange.g, Theme.orange.b, 0.12)
    border.color: Qt.rgba(Theme.orange.r, Theme.orange.g, Theme.orange.b, 0.25)

    RowLayout {
        id: row
        x: 12
        y: 12
        width: banner.width - 24
        spacing: 10

        Icon {
            symbol: "exclamationmark.triangle.fill"
            color: Theme.orange
            size: 18
        }
        Label {
            objectName: "bannerMessage"
            text: banner.message
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        PushButton {
            objectName: "bannerButton"
            text: banner.isGamepadMode ? qsTr("Use Keyboard & Mouse") : qsTr("Allow Access…")
            onClicked: {
                if (banner.isGamepadMode)
                    host.outputMode = "keyboardMouse";
                else
                    host.requestAccessibility();
            }
        }
    }
}
