import QtQuick
import QtQuick.Controls

// The root of a window's content: hands the platform palette (what SystemPalette reports,
// light or dark) and the app's accent to every control below it. Quick Controls' Fusion style
// keeps a light palette of its own otherwise.
Page {
    font.pixelSize: Theme.bodySize

    palette.window: Theme.palette.window
    palette.windowText: Theme.palette.windowText
    palette.base: Theme.palette.base
    palette.alternateBase: Theme.palette.alternateBase
    palette.text: Theme.palette.text
    palette.button: Theme.palette.button
    palette.buttonText: Theme.palette.buttonText
    palette.light: Theme.palette.light
    palette.midlight: Theme.palette.midlight
    palette.mid: Theme.palette.mid
    palette.dark: Theme.palette.dark
    palette.shadow: Theme.palette.shadow
    palette.highlight: Theme.accent
    palette.highlightedText: Theme.accentText
    palette.toolTipBase: Theme.palette.window
    palette.toolTipText: Theme.palette.windowText
    palette.disabled.windowText: Theme.disabledPalette.windowText
    palette.disabled.text: Theme.disabledPalette.text
    palette.disabled.buttonText: Theme.disabledPalette.buttonText
    palette.disabled.button: Theme.disabledPalette.button

    background: Rectangle { color: Theme.windowBackground }
}
