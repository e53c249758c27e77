pragma Singleton
import QtQuick

// Colours and type sizes shared by every view. Everything derives from the platform palette
// (SystemPalette follows QGuiApplication::palette()), so light and dark desktops both work.
QtObject {
    id: theme

    readonly property SystemPalette palette: SystemPalette {
        colorGroup: SystemPalette.Active
    }
    readonly property SystemPalette disabledPalette: SystemPalette {
        colorGroup: SystemPalette.Disabled
    }

    readonly property bool isDark: palette.window.hslLightness < 0.5

    // The app's own accent, a blue that stays readable on both palettes.
    readonly property color accent: isDark ? "#4d8dff" : "#2a6fdb"
    readonly property color accentText: "#ffffff"

    readonly property color primary: palette.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, 0.62)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, 0.38)
    readonly property color quaternaryFill: Qt.rgba(primary.r, primary.g, primary.b,
                                                    isDark ? 0.16 : 0.09)
    readonly property color separator: Qt.rgba(primary.r, primary.g, primary.b, 0.12)

    readonly property color windowBackground: palette.window
    readonly property color sidebarBackground: isDark ? Qt.darker(palette.window, 1.18)
                                                      : Qt.darker(palette.window, 1.04)
    readonly property color groupBackground: isDark ? Qt.lighter(palette.window, 1.35)
                                                    : Qt.lighter(palette.window, 1.06)
    readonly property color cardBackground: groupBackground
    // Stand-in for a translucent material: the window colour, almost opaque.
    readonly property color material: Qt.rgba(palette.window.r, palette.window.g,
                                               palette.window.b, 0.88)

    readonly property color orange: isDark ? "#ffa53d" : "#e07800"
    readonly property color yellow: isDark ? "#ffd43b" : "#e2b400"
    readonly property color green: isDark ? "#4cd26b" : "#1f9d45"
    readonly property color red: isDark ? "#ff6b60" : "#d3301f"

    // Type sizes in logical pixels, after the roles the views name.
    readonly property int bodySize: 13
    readonly property int captionSize: 11
    readonly property int calloutSize: 12
    readonly property int headlineSize: 13
    readonly property int title2Size: 20
    readonly property int titleSize: 22

    readonly property string iconFamily: iconFont.name
    readonly property FontLoader iconFont: FontLoader {
        source: "qrc:/qt/qml/Jolto/fonts/MaterialIcons-Regular.ttf"
    }
}
