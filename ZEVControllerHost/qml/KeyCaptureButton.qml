import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// Shows one button's action and edits it: record a key from the keyboard, pick a mouse button,
// or clear. Recording takes the next key press in this window, modifiers included, and stores
// the macOS virtual key code of that key (the form the mapping keeps).
Button {
    id: control

    // The bound action: {kind: "key"|"mouse"|"none", code, mouse, label}.
    property var keyAction: ({ kind: "none", label: "—" })
    property bool isRecording: false
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
    }
    // Called for each key press while recording; returns whether the press is swallowed.
    function handleKeyPress(event) {
        if (!isRecording)
            return false;
        const code = host.macKeyCodeForScanCode(event.nativeScanCode);
        // Caps Lock toggles state rather than acting as a key, and a key with no code in the
        // mapping's table cannot be stored: both pass through and recording goes on.
        if (code < 0 || code === capsLockCode)
            return false;
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
    focusPolicy: Qt.NoFocus

    contentItem: RowLayout {
        spacing: 4
        Label {
            objectName: "captureLabel"
            text: control.isRecording ? qsTr("Press a key…") : control.actionLabel
            textFormat: Text.PlainText
            color: control.isRecording ? Theme.accent
                                       : (control.isUnmapped ? Theme.secondary : Theme.primary)
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

    Accessible.name: qsTr("Key")
    Accessible.description: actionLabel

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

    // Recording ends when the control leaves the screen: hidden, or taken out of its window.
    onVisibleChanged: if (!visible) stopRecording()
    Window.onWindowChanged: if (!Window.window) stopRecording()
    Component.onDestruction: stopRecording()
}
