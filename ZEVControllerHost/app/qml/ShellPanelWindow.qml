import QtQuick
import QtQuick.Window

// The tray's panel: a frameless window as high as its content, placed next to the icon by
// the application and hidden again when it loses focus.
Window {
    id: panel
    objectName: "panel"
    title: qsTr("JOLTO Host")
    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
    width: 330
    height: Math.max(1, content.item ? content.item.implicitHeight : 1)

    Loader {
        id: content
        objectName: "panelContent"
        width: panel.width
        source: shellPanelContent
    }
}
