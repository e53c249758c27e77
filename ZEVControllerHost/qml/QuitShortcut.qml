import QtQuick

// The platform's Quit shortcut (Ctrl+Q on Linux desktops). Where the platform's key scheme has
// none (Windows-style schemes, the offscreen platform), Ctrl+Q stands in.
Shortcut {
    readonly property Shortcut platformQuit: Shortcut {
        sequence: StandardKey.Quit
        enabled: false
    }

    sequence: platformQuit.nativeText.length > 0 ? StandardKey.Quit : "Ctrl+Q"
    context: Qt.WindowShortcut
}
