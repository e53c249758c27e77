import QtQuick
import QtQuick.Controls

// The main window; its content is the views' MainWindow. Closing it only hides it: the program
// keeps serving from the tray.
ApplicationWindow {
    id: window
    objectName: "main"
    title: qsTr("JOLTO Host")
    width: 940
    height: 640
    minimumWidth: 780
    minimumHeight: 520

    Loader {
        id: content
        objectName: "mainContent"
        anchors.fill: parent
        source: shellMainContent
    }
}
