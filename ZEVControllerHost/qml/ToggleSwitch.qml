import QtQuick
import QtQuick.Controls

// An on/off switch drawn alike on every desktop and palette: a rounded track, accent when on,
// and a round white knob. Its text is part of the control, so clicking the text toggles it.
// `small` is the size for the tray panel.
Switch {
    id: control

    property bool small: false

    spacing: 8
    padding: 2

    indicator: Rectangle {
        implicitWidth: control.small ? 30 : 38
        implicitHeight: control.small ? 18 : 22
        x: control.text ? (control.mirrored ? control.width - width - control.rightPadding
                                            : control.leftPadding)
                        : control.leftPadding + (control.availableWidth - width) / 2
        y: control.topPadding + (control.availableHeight - height) / 2
        radius: height / 2
        color: control.checked ? Theme.accent
                               : (Theme.isDark ? Qt.rgba(1, 1, 1, 0.24) : Qt.rgba(0, 0, 0, 0.18))
        opacity: control.enabled ? 1 : 0.5
        Behavior on color { ColorAnimation { duration: 120 } }

        Rectangle {
            objectName: "knob"
            readonly property real inset: 2
            x: control.checked ? parent.width - width - inset : inset
            y: inset
            width: parent.height - 2 * inset
            height: width
            radius: width / 2
            color: "white"
            border.color: Qt.rgba(0, 0, 0, 0.12)
            Behavior on x { NumberAnimation { duration: 120; easing.type: Easing.OutCubic } }
        }
        FocusRing {
            visible: control.visualFocus
            radius: parent.radius + offset
        }
    }

    contentItem: Label {
        leftPadding: !control.mirrored ? control.indicator.width + control.spacing : 0
        rightPadding: control.mirrored ? control.indicator.width + control.spacing : 0
        text: control.text
        font: control.font
        color: Theme.primary
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
    }
}
