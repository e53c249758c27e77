import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Stands in for the views' tray panel in a build without them.
Page {
    implicitWidth: 330
    padding: 16

    ColumnLayout {
        width: parent.width
        spacing: 10

        Label {
            text: host.statusText
            textFormat: Text.PlainText
            font.bold: true
        }
        Label {
            text: qsTr("PIN") + "  " + host.pin
            textFormat: Text.PlainText
            font.pixelSize: 24
        }
        Button {
            objectName: "openWindowButton"
            Layout.fillWidth: true
            text: qsTr("Open Window…")
            onClicked: app.openMainWindow()
        }
        Button {
            objectName: "quitButton"
            Layout.fillWidth: true
            text: qsTr("Quit")
            onClicked: app.quit()
        }
    }
}
