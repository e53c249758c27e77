import QtQuick
import QtQuick.Controls

// A push button with room around its text; Fusion's own padding is tight at this font size.
// Return acts like Space; the focus ring is the app's own, Fusion's hairline is hard to see.
Button {
    leftPadding: 12
    rightPadding: 12
    topPadding: 5
    bottomPadding: 5
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    FocusRing {
        visible: parent.visualFocus
        radius: 5
    }
}
