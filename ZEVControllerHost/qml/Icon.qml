import QtQuick
import "Symbols.js" as Symbols

// A symbol drawn from the bundled Material Icons font.
Text {
    id: icon

    property string symbol
    property real size: Theme.bodySize + 3

    text: Symbols.glyph(symbol)
    font.family: Theme.iconFamily
    font.pixelSize: size
    color: Theme.primary
    verticalAlignment: Text.AlignVCenter
    horizontalAlignment: Text.AlignHCenter
    renderType: Text.QtRendering
    Accessible.ignored: true
}
