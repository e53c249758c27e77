import QtQuick
import QtQuick.Controls
import QtQuick.Shapes
import "Buttons.js" as Buttons

// One controller's live input drawn as a stylised gamepad. A pure function of the state and
// the staleness flag; the host view decides the size, the drawing keeps 1.8 : 1 inside it.
Item {
    id: preview

    // A state map of the model's `clients` entries: buttons, leftX … rightTrigger.
    property var controllerState: ({})
    property bool isStale: false

    readonly property real drawingWidth: {
        if (height <= 0)
            return width;
        return Math.min(width, height * 1.8);
    }
    readonly property real drawingHeight: drawingWidth / 1.8
    readonly property bool large: drawingHeight >= 120

    readonly property int buttons: controllerState && controllerState.buttons !== undefined
                                   ? controllerState.buttons : 0
    readonly property string accessibleValue: isStale ? qsTr("Paused, no signal")
                                                      : Buttons.pressedLabels(buttons)

    implicitWidth: 360
    implicitHeight: 200

    Accessible.role: Accessible.Graphic
    Accessible.name: qsTr("Live controller input")
    Accessible.description: accessibleValue

    function value(name) {
        const v = controllerState ? controllerState[name] : undefined;
        return typeof v === "number" && isFinite(v) ? v : 0;
    }
    function pressed(button) {
        return Buttons.isPressed(buttons, button);
    }
    function buttonColor(button) {
        return pressed(button) ? Theme.accent : Qt.rgba(Theme.primary.r, Theme.primary.g,
                                                        Theme.primary.b, 0.12);
    }
    function textColor(button) {
        return pressed(button) ? Theme.accentText : Theme.secondary;
    }
    // A rectangle path whose flagged corners are rounded: the d-pad arms are rounded only
    // where they end the cross, never where they meet its centre.
    function armPath(w, h, r, tl, tr, br, bl) {
        const c = (on) => on ? r : 0;
        const a = c(tl), b = c(tr), d = c(br), e = c(bl);
        return "M " + a + " 0 L " + (w - b) + " 0 "
             + (b ? "A " + b + " " + b + " 0 0 1 " + w + " " + b + " " : "")
             + "L " + w + " " + (h - d) + " "
             + (d ? "A " + d + " " + d + " 0 0 1 " + (w - d) + " " + h + " " : "")
             + "L " + e + " " + h + " "
             + (e ? "A " + e + " " + e + " 0 0 1 0 " + (h - e) + " " : "")
             + "L 0 " + a + " "
             + (a ? "A " + a + " " + a + " 0 0 1 " + a + " 0 " : "") + "Z";
    }

    // The helpers below take everything from properties set where they are used: inline
    // components do not see the ids of this file.
    component Part: Rectangle {
        property real cx
        property real cy
        x: cx - width / 2
        y: cy - height / 2
        antialiasing: true
    }
    component PartLabel: Label {
        property real cx
        property real cy
        property real drawingHeight
        x: cx - width / 2
        y: cy - height / 2
        font.pixelSize: Math.max(drawingHeight * 0.06, 8)
        font.bold: true
        Accessible.ignored: true
    }
    component LabelledPart: Part {
        id: labelled
        property string label
        property color textColor
        property bool large
        property real drawingHeight
        PartLabel {
            visible: labelled.large
            cx: labelled.width / 2
            cy: labelled.height / 2
            drawingHeight: labelled.drawingHeight
            text: labelled.label
            color: labelled.textColor
        }
    }
    component IconPart: Part {
        id: iconPart
        property string symbol
        property color textColor
        property bool large
        property real u
        height: u
        radius: height / 2
        Icon {
            visible: iconPart.large
            anchors.centerIn: parent
            symbol: iconPart.symbol
            size: 0.48 * iconPart.u
            font.bold: true
            color: iconPart.textColor
        }
    }
    component Trigger: Item {
        id: trigger
        property real cx
        property real cy
        property real fraction
        property string label
        property bool large
        property real drawingHeight
        property color trackColor
        x: cx - width / 2
        y: cy - height / 2
        Rectangle {
            anchors.fill: parent
            radius: height / 2
            color: trigger.trackColor
        }
        Rectangle {
            objectName: "fill"
            width: parent.width * Math.max(0, Math.min(1, trigger.fraction))
            height: parent.height
            visible: width > 0
            radius: Math.min(height, width) / 2
            color: Theme.accent
        }
        PartLabel {
            visible: trigger.large
            cx: trigger.width / 2
            cy: trigger.height / 2
            drawingHeight: trigger.drawingHeight
            text: trigger.label
            color: trigger.fraction > 0.5 ? Theme.accentText : Theme.secondary
        }
    }
    component Stick: Item {
        id: stick
        property real cx
        property real cy
        property real stickX
        property real stickY
        property color knobColor
        property color ringColor
        height: width
        x: cx - width / 2
        y: cy - height / 2
        Rectangle {
            anchors.fill: parent
            radius: width / 2
            color: "transparent"
            border.width: 1.5
            border.color: stick.ringColor
        }
        Part {
            objectName: "knob"
            width: 0.38 * stick.width
            height: width
            radius: width / 2
            cx: stick.width / 2 + stick.stickX * 0.31 * stick.width
            cy: stick.height / 2 - stick.stickY * 0.31 * stick.width
            color: stick.knobColor
        }
    }
    component DpadArm: Shape {
        id: arm
        property color fill
        property string path
        property real cx
        property real cy
        x: cx - width / 2
        y: cy - height / 2
        antialiasing: true
        ShapePath {
            strokeWidth: -1
            strokeColor: "transparent"
            fillColor: arm.fill
            PathSvg { path: arm.path }
        }
    }

    Item {
        id: drawing
        objectName: "drawing"
        readonly property real u: 0.12 * height
        readonly property color idle: Qt.rgba(Theme.primary.r, Theme.primary.g,
                                              Theme.primary.b, 0.12)
        width: preview.drawingWidth
        height: preview.drawingHeight
        anchors.centerIn: parent
        opacity: preview.isStale ? 0.45 : 1

        Part {
            objectName: "body"
            cx: drawing.width / 2
            cy: drawing.height / 2
            width: drawing.width
            height: drawing.height
            radius: 0.16 * drawing.height
            color: Qt.rgba(Theme.primary.r, Theme.primary.g, Theme.primary.b,
                           Theme.isDark ? 0.10 : 0.06)
        }

        Trigger {
            objectName: "leftTrigger"
            cx: 0.16 * drawing.width
            cy: 0.09 * drawing.height
            width: 0.2 * drawing.width
            height: 0.08 * drawing.height
            fraction: preview.value("leftTrigger")
            label: "LT"
            large: preview.large
            drawingHeight: drawing.height
            trackColor: drawing.idle
        }
        Trigger {
            objectName: "rightTrigger"
            cx: 0.84 * drawing.width
            cy: 0.09 * drawing.height
            width: 0.2 * drawing.width
            height: 0.08 * drawing.height
            fraction: preview.value("rightTrigger")
            label: "RT"
            large: preview.large
            drawingHeight: drawing.height
            trackColor: drawing.idle
        }

        LabelledPart {
            cx: 0.16 * drawing.width
            cy: 0.2 * drawing.height
            width: 0.2 * drawing.width
            height: 0.08 * drawing.height
            radius: height / 2
            color: preview.buttonColor(Buttons.leftShoulder)
            label: "LB"
            textColor: preview.textColor(Buttons.leftShoulder)
            large: preview.large
            drawingHeight: drawing.height
        }
        LabelledPart {
            cx: 0.84 * drawing.width
            cy: 0.2 * drawing.height
            width: 0.2 * drawing.width
            height: 0.08 * drawing.height
            radius: height / 2
            color: preview.buttonColor(Buttons.rightShoulder)
            label: "RB"
            textColor: preview.textColor(Buttons.rightShoulder)
            large: preview.large
            drawingHeight: drawing.height
        }

        Stick {
            objectName: "leftStick"
            width: 0.3 * drawing.height
            cx: 0.22 * drawing.width
            cy: 0.5 * drawing.height
            stickX: preview.value("leftX")
            stickY: preview.value("leftY")
            ringColor: Qt.rgba(Theme.primary.r, Theme.primary.g, Theme.primary.b, 0.18)
            knobColor: preview.pressed(Buttons.leftStick)
                       ? Theme.accent
                       : Qt.rgba(Theme.primary.r, Theme.primary.g, Theme.primary.b, 0.35)
        }
        Stick {
            objectName: "rightStick"
            width: 0.3 * drawing.height
            cx: 0.63 * drawing.width
            cy: 0.78 * drawing.height
            stickX: preview.value("rightX")
            stickY: preview.value("rightY")
            ringColor: Qt.rgba(Theme.primary.r, Theme.primary.g, Theme.primary.b, 0.18)
            knobColor: preview.pressed(Buttons.rightStick)
                       ? Theme.accent
                       : Qt.rgba(Theme.primary.r, Theme.primary.g, Theme.primary.b, 0.35)
        }

        Item {
            id: dpad
            readonly property real size: 0.26 * drawing.height
            readonly property real arm: 0.34 * size
            readonly property real armLength: (size - arm) / 2
            readonly property real shift: arm / 4 + size / 4
            readonly property real corner: 0.2 * arm
            width: size
            height: size
            x: 0.37 * drawing.width - size / 2
            y: 0.78 * drawing.height - size / 2

            Part {
                cx: dpad.size / 2
                cy: dpad.size / 2
                width: dpad.arm
                height: dpad.arm
                color: drawing.idle
            }
            DpadArm {
                width: dpad.arm
                height: dpad.armLength
                cx: dpad.size / 2
                cy: dpad.size / 2 - dpad.shift
                fill: preview.buttonColor(Buttons.dpadUp)
                path: preview.armPath(width, height, dpad.corner, true, true, false, false)
            }
            DpadArm {
                width: dpad.arm
                height: dpad.armLength
                cx: dpad.size / 2
                cy: dpad.size / 2 + dpad.shift
                fill: preview.buttonColor(Buttons.dpadDown)
                path: preview.armPath(width, height, dpad.corner, false, false, true, true)
            }
            DpadArm {
                width: dpad.armLength
                height: dpad.arm
                cx: dpad.size / 2 - dpad.shift
                cy: dpad.size / 2
                fill: preview.buttonColor(Buttons.dpadLeft)
                path: preview.armPath(width, height, dpad.corner, true, false, false, true)
            }
            DpadArm {
                width: dpad.armLength
                height: dpad.arm
                cx: dpad.size / 2 + dpad.shift
                cy: dpad.size / 2
                fill: preview.buttonColor(Buttons.dpadRight)
                path: preview.armPath(width, height, dpad.corner, false, true, true, false)
            }
        }

        Repeater {
            // north, west, east, south around the face-button centre
            model: [
                { button: Buttons.north, label: "Y", dx: 0, dy: -1 },
                { button: Buttons.west, label: "X", dx: -1, dy: 0 },
                { button: Buttons.east, label: "B", dx: 1, dy: 0 },
                { button: Buttons.south, label: "A", dx: 0, dy: 1 }
            ]
            LabelledPart {
                required property var modelData
                objectName: "face" + modelData.label
                cx: 0.78 * drawing.width + modelData.dx * 0.13 * drawing.height
                cy: 0.5 * drawing.height + modelData.dy * 0.13 * drawing.height
                width: 0.14 * drawing.height
                height: width
                radius: width / 2
                color: preview.buttonColor(modelData.button)
                label: modelData.label
                textColor: preview.textColor(modelData.button)
                large: preview.large
                drawingHeight: drawing.height
                scale: preview.pressed(modelData.button) ? 0.9 : 1
                Behavior on scale {
                    SpringAnimation { spring: 6; damping: 0.5; epsilon: 0.002 }
                }
            }
        }

        Repeater {
            model: [
                { button: Buttons.touchpad, symbol: "hand.point.up.left", x: 0.5, y: 0.13, w: 2.8 / 1.2 },
                { button: Buttons.home, symbol: "house.fill", x: 0.5, y: 0.31, w: 1 },
                { button: Buttons.select, symbol: "rectangle.on.rectangle", x: 0.42, y: 0.46, w: 1 },
                { button: Buttons.start, symbol: "line.3.horizontal", x: 0.58, y: 0.46, w: 1 },
                { button: Buttons.capture, symbol: "square.and.arrow.up", x: 0.5, y: 0.6, w: 1 }
            ]
            IconPart {
                required property var modelData
                cx: modelData.x * drawing.width
                cy: modelData.y * drawing.height
                u: drawing.u
                // the touchpad is 0.28 H wide, the others u x u
                width: modelData.w * drawing.u
                color: preview.buttonColor(modelData.button)
                symbol: modelData.symbol
                textColor: preview.textColor(modelData.button)
                large: preview.large
            }
        }
    }

    // The staleness badge stays fully opaque over the dimmed drawing.
    Rectangle {
        objectName: "staleBadge"
        visible: preview.isStale && preview.large
        anchors.centerIn: drawing
        width: badgeRow.implicitWidth + 24
        height: badgeRow.implicitHeight + 12
        radius: height / 2
        color: Theme.material
        border.color: Theme.separator
        Row {
            id: badgeRow
            anchors.centerIn: parent
            spacing: 5
            Icon {
                symbol: "wifi.slash"
                size: Theme.calloutSize + 3
                color: Theme.primary
                anchors.verticalCenter: parent.verticalCenter
            }
            Label {
                text: qsTr("Paused — no signal")
                font.pixelSize: Theme.calloutSize
                font.weight: Font.DemiBold
                color: Theme.primary
                anchors.verticalCenter: parent.verticalCenter
                Accessible.ignored: true
            }
        }
    }
    Rectangle {
        objectName: "staleBadgeSmall"
        visible: preview.isStale && !preview.large
        anchors.centerIn: drawing
        width: smallIcon.implicitWidth + 10
        height: width
        radius: width / 2
        color: Theme.material
        border.color: Theme.separator
        Icon {
            id: smallIcon
            anchors.centerIn: parent
            symbol: "wifi.slash"
            size: Theme.captionSize + 2
            font.bold: true
        }
        HoverHandler {
            id: smallHover
        }
        ToolTip.visible: smallHover.hovered
        ToolTip.text: qsTr("Paused — no signal")
        ToolTip.delay: 500
    }
}
