import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Stands in for the views' main window in a build without them.
Page {
    ColumnLayout {
        anchors.centerIn: parent
        spacing: 12

        Label {
            Layout.alignment: Qt.AlignHCenter
            text: host.statusText
            textFormat: Text.PlainText
            font.pixelSize: 18
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("PIN") + "  " + host.pin
            textFormat: Text.PlainText
            font.pixelSize: 32
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            visible: host.outputWarning.length > 0
            text: host.outputWarning
            textFormat: Text.PlainText
            color: "darkorange"
        }
        Button {
            objectName: "quitButton"
            Layout.alignment: Qt.AlignHCenter
            // Without a tray there is no panel to quit from.
            visible: !app.hasTray
            text: qsTr("Quit JOLTO Host")
            onClicked: app.quit()
        }
    }

    Shortcut {
        sequences: [StandardKey.Quit]
        onActivated: app.quit()
    }
}
