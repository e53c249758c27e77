import QtQuick
import QtQuick.Controls

// A button that reads as a link: accent text, underlined on hover and focus, in the Tab
// chain, acted on with Space or Return.
AbstractButton {
    id: control

    padding: 3
    focusPolicy: Qt.StrongFocus
    font.pixelSize: Theme.calloutSize
    Accessible.role: Accessible.Link
    Accessible.name: text

    contentItem: Label {
        text: control.text
        textFormat: Text.PlainText
        font.pixelSize: control.font.pixelSize
        font.underline: control.hovered || control.visualFocus
        color: Theme.accent
    }
    background: Item {
        FocusRing {
            visible: control.visualFocus
            radius: 4
            offset: 0
        }
    }
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    HoverHandler { cursorShape: Qt.PointingHandCursor }
}
