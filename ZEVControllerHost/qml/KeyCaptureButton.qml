import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// Shows one button's action and edits it: record a key from the keyboard, pick a mouse button,
// or clear. Recording takes the next key press in this window, modifiers included (Escape and
// Tab too: they are keys a game may want), and stores the macOS virtual key code of that key
// (the form the mapping keeps). Space or Return opens the menu.
Button {
    id: control

    // The bound action: {kind: "key"|"mouse"|"none", code, mouse, label}.
    property var keyAction: ({ kind: "none", label: "—" })
    // The controller button this edits, for its accessible name ("South face button").
    property string buttonName
    property bool isRecording: false
    // Shown for a moment after a key that has no code in the mapping's table.
    property bool showsUnmappable: false
    readonly property alias menu: menu
    readonly property string actionLabel: keyAction && keyAction.label ? keyAction.label : "—"
    readonly property bool isUnmapped: !keyAction || keyAction.kind === "none"

    // The edit, for the owner to write into the model.
    signal edited(string kind, int code, string mouse)

    // Key codes of the modifier keys in the mapping's code space, and the one never recorded.
    readonly property int capsLockCode: 57

    function startRecording() {
        stopRecording();
        isRecording = true;
    }
    function stopRecording() {
        isRecording = false;
        showsUnmappable = false;
    }
    // Called for each key press while recording; returns whether the press is swallowed.
    function handleKeyPress(event) {
        if (!isRecording)
            return false;
        const code = host.macKeyCodeForScanCode(event.nativeScanCode);
        // Caps Lock toggles state rather than acting as a key: it passes through.
        if (code === capsLockCode)
            return false;
        // A key with no code in the mapping's table (Print, Pause, media keys) cannot be
        // stored: say so, and go on recording.
        if (code < 0) {
            showsUnmappable = true;
            unmappableReset.restart();
            return true;
        }
        edited("key", code, "");
        stopRecording();
        return true;
    }

    leftPadding: 10
    rightPadding: 8
    topPadding: 4
    bottomPadding: 4
    implicitWidth: Math.max(120, contentItem.implicitWidth) + leftPadding + rightPadding
    Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
    focusPolicy: Qt.StrongFocus
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: RowLayout {
        spacing: 4
        Label {
            objectName: "captureLabel"
            text: !control.isRecording ? control.actionLabel
                  : control.showsUnmappable ? qsTr("This key can't be mapped")
                  : qsTr("Press a key…")
            textFormat: Text.PlainText
            color: !control.isRecording ? (control.isUnmapped ? Theme.secondary : Theme.primary)
                   : control.showsUnmappable ? Theme.orange
                   : Theme.accent
            horizontalAlignment: Text.AlignHCenter
            elide: Text.ElideRight
            Layout.fillWidth: true
            Layout.minimumWidth: 120 - 18
        }
        Label {
            text: "▾"
            color: Theme.secondary
            font.pixelSize: Theme.captionSize
            Accessible.ignored: true
        }
    }

    Accessible.name: isRecording ? qsTr("%1, recording: press a key").arg(buttonName)
                                 : qsTr("%1, currently %2").arg(buttonName).arg(actionLabel)

    FocusRing {
        visible: control.visualFocus
        radius: 5
    }

    Timer {
        id: unmappableReset
        interval: 1800
        onTriggered: control.showsUnmappable = false
    }

    onClicked: menu.open()

    Menu {
        id: menu
        objectName: "captureMenu"
        y: control.height

        MenuItem {
            objectName: "recordItem"
            text: control.isRecording ? qsTr("Stop Recording") : qsTr("Record Key…")
            onTriggered: control.isRecording ? control.stopRecording() : control.startRecording()
        }
        MenuSeparator {}
        MenuItem {
            objectName: "leftClickItem"
            text: qsTr("Left Click")
            onTriggered: control.edited("mouse", 0, "left")
        }
        MenuItem {
            objectName: "rightClickItem"
            text: qsTr("Right Click")
            onTriggered: control.edited("mouse", 0, "right")
        }
        MenuItem {
            objectName: "middleClickItem"
            text: qsTr("Middle Click")
            onTriggered: control.edited("mouse", 0, "middle")
        }
        MenuSeparator {}
        MenuItem {
            objectName: "clearItem"
            text: qsTr("Clear")
            onTriggered: control.edited("none", 0, "")
        }
    }

    KeyEventMonitor {
        window: control.Window.window
        active: control.isRecording
        handler: (event) => control.handleKeyPress(event)
    }

    // Recording ends when the control leaves the screen: hidden, taken out of its window, or
    // its window closed (which only hides it) or minimised.
    readonly property bool windowShown: Window.window !== null
                                        && Window.visibility !== Window.Hidden
                                        && Window.visibility !== Window.Minimized
    onVisibleChanged: if (!visible) stopRecording()
    onWindowShownChanged: if (!windowShown) stopRecording()
    Component.onDestruction: stopRecording()
}
