import QtQuick

// The keyboard focus ring drawn around its parent: an accent outline just outside it, with a
// gap in the window colour, so that it stands out on an accent fill and on any background,
// light or dark.
Rectangle {
    property real offset: 3

    anchors.fill: parent
    anchors.margins: -offset
    color: "transparent"
    border.width: 2
    border.color: Theme.accent

    Rectangle {
        anchors.fill: parent
        anchors.margins: 2
        radius: Math.max(0, parent.radius - 2)
        color: "transparent"
        border.width: 1
        border.color: Theme.windowBackground
    }
}
