import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// What the host needs from the network and the system, and whether it has it.
FormPage {
    id: page
    title: qsTr("Setup")

    FormSection {
        header: qsTr("Network")
        footer: qsTr("Your iPhone finds this computer with Bonjour (Avahi). If a firewall is on, allow mDNS (UDP 5353) and the port above.")

        FormRow {
            title: qsTr("Visible as")
            Item { Layout.fillWidth: true }
            Label {
                objectName: "hostName"
                text: host.hostName
                textFormat: Text.PlainText
                color: Theme.secondary
            }
        }
        FormRow {
            title: qsTr("Status")
            Item { Layout.fillWidth: true }
            IconLabel {
                objectName: "listenerReady"
                visible: host.listenerState === "ready"
                symbol: "checkmark.circle.fill"
                color: Theme.green
                text: qsTr("Listening on UDP port %1").arg(String(host.listenerPort))
                Layout.fillWidth: false
            }
            Label {
                visible: host.listenerState === "starting"
                text: qsTr("Starting…")
                color: Theme.secondary
            }
            IconLabel {
                objectName: "listenerFailed"
                visible: host.listenerState === "failed"
                symbol: "xmark.octagon.fill"
                color: Theme.red
                text: host.listenerError
                Layout.fillWidth: false
                Layout.maximumWidth: 420
            }
        }
        FormRow {
            visible: host.advertisementProblem.length > 0
            IconLabel {
                objectName: "advertisementProblem"
                symbol: "exclamationmark.triangle.fill"
                color: Theme.orange
                text: host.advertisementProblem
                Layout.fillWidth: true
            }
        }
    }

    FormSection {
        header: qsTr("Keyboard & Mouse")
        StatusRow {
            objectName: "accessibilityStatus"
            isReady: host.isAccessibilityTrusted
            ready: qsTr("Input access is on.")
            missing: qsTr("Input access is off. Without access to /dev/uinput, the key presses this app sends go nowhere.")
            action: PushButton {
                objectName: "allowAccessButton"
                text: qsTr("Allow Access…")
                onClicked: host.requestAccessibility()
            }
        }
    }

    FormSection {
        header: qsTr("Virtual Gamepad")
        StatusRow {
            objectName: "gamepadStatus"
            isReady: host.isGamepadEntitled
            ready: qsTr("Virtual gamepads are available. Games using SDL, Steam Input or emulators will see “JOLTO Controller”.")
            missing: host.gamepadDevice === "hid"
                     ? qsTr("JOLTO Host has no access to /dev/uhid, so it can't create virtual gamepads.")
                     : qsTr("JOLTO Host has no access to /dev/uinput, so it can't create virtual gamepads.")
            action: PushButton {
                objectName: "allowGamepadAccessButton"
                text: qsTr("Allow Access…")
                onClicked: host.requestAccessibility()
            }
        }
        // Takes effect at once: the server replaces every gamepad with one of the new kind.
        FormRow {
            title: qsTr("Device")
            Item { Layout.fillWidth: true }
            SegmentedControl {
                objectName: "gamepadDevicePicker"
                value: host.gamepadDevice
                pixelSize: Theme.calloutSize
                options: [
                    { text: qsTr("Standard"), value: "standard" },
                    { text: qsTr("HID"), value: "hid" }
                ]
                Accessible.name: qsTr("Gamepad device")
                onActivated: (value) => host.gamepadDevice = value
            }
        }
        FormRow {
            Label {
                objectName: "gamepadDeviceHint"
                text: host.gamepadDevice === "hid"
                      ? qsTr("A raw HID device, for programs that read HID themselves. SDL games need the mapping below.")
                      : qsTr("A standard controller that games recognise without any mapping, with rumble.")
                font.pixelSize: Theme.calloutSize
                color: Theme.secondary
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
        FormRow {
            visible: !host.isGamepadEntitled
            Label {
                text: qsTr("“Allow Access…” installs a device rule for your desktop session. Keyboard & Mouse works with any game that supports a keyboard.")
                font.pixelSize: Theme.calloutSize
                color: Theme.secondary
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
        FormRow {
            visible: host.gamepadProblem.length > 0
            IconLabel {
                objectName: "gamepadProblem"
                symbol: "exclamationmark.triangle.fill"
                color: Theme.orange
                text: host.gamepadProblem
                Layout.fillWidth: true
            }
        }
        // SDL names the buttons of the HID gamepad by guesswork; with this line in
        // SDL_GAMECONTROLLERCONFIG, games show A as A. The standard gamepad needs none.
        FormRow {
            objectName: "sdlMappingRow"
            visible: host.isGamepadEntitled && host.gamepadDevice === "hid"
                     && host.sdlMapping.length > 0
            ColumnLayout {
                spacing: 6
                Layout.fillWidth: true
                Label {
                    text: qsTr("So that SDL games name the buttons right, add this line to SDL_GAMECONTROLLERCONFIG:")
                    font.pixelSize: Theme.calloutSize
                    color: Theme.secondary
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
                RowLayout {
                    spacing: 8
                    Layout.fillWidth: true
                    Rectangle {
                        color: Theme.quaternaryFill
                        radius: 6
                        Layout.fillWidth: true
                        implicitHeight: sdlText.implicitHeight + 12
                        TextEdit {
                            id: sdlText
                            objectName: "sdlMappingText"
                            x: 8
                            y: 6
                            width: parent.width - 16
                            text: host.sdlMapping
                            textFormat: TextEdit.PlainText
                            readOnly: true
                            selectByMouse: true
                            wrapMode: TextEdit.WrapAnywhere
                            font.family: "monospace"
                            font.pixelSize: Theme.captionSize
                            color: Theme.primary
                            selectionColor: Theme.accent
                            selectedTextColor: Theme.accentText
                        }
                    }
                    PushButton {
                        id: copyButton
                        objectName: "copySdlMapping"
                        property bool copied: false
                        text: copied ? qsTr("Copied") : qsTr("Copy")
                        Layout.alignment: Qt.AlignTop
                        onClicked: {
                            sdlText.selectAll();
                            sdlText.copy();
                            sdlText.deselect();
                            copied = true;
                            copiedReset.restart();
                        }
                        Timer {
                            id: copiedReset
                            interval: 2000
                            onTriggered: copyButton.copied = false
                        }
                    }
                }
            }
        }
    }
}
