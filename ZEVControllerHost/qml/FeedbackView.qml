import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// Rumble from audio, its strength and a test, game-driven rumble, and the gyro pointer speed.
FormPage {
    id: page
    title: qsTr("Rumble & Motion")

    readonly property bool hasControllers: host.clientCount > 0
    readonly property bool silent: host.rumbleLow === 0 && host.rumbleHigh === 0

    FormSection {
        header: qsTr("Rumble")

        FormRow {
            ColumnLayout {
                objectName: "audioRumbleLabel"
                spacing: 2
                Layout.fillWidth: true
                // The switch's label: clicking it toggles the switch.
                TapHandler { onTapped: host.rumbleFromAudio = !host.rumbleFromAudio }
                Label {
                    text: qsTr("Rumble from game audio")
                    Layout.fillWidth: true
                }
                Label {
                    text: qsTr("Works with any game. Bass drives the heavy motor; gunshots and impacts drive the sharp one.")
                    font.pixelSize: Theme.calloutSize
                    color: Theme.secondary
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
            ToggleSwitch {
                objectName: "audioRumbleSwitch"
                checked: host.rumbleFromAudio
                Accessible.name: qsTr("Rumble from game audio")
                onToggled: host.rumbleFromAudio = checked
            }
        }
        FormRow {
            objectName: "liveRow"
            visible: host.rumbleFromAudio
            title: qsTr("Live")
            Item { Layout.fillWidth: true }
            RumbleMeter {
                objectName: "rumbleMeter"
                low: host.rumbleLow
                high: host.rumbleHigh
                Layout.fillWidth: true
                Layout.maximumWidth: 320
            }
        }
        FormRow {
            title: qsTr("Strength")
            Item { Layout.fillWidth: true }
            SymbolSlider {
                objectName: "strengthSlider"
                minimumSymbol: "speaker.wave.1"
                maximumSymbol: "speaker.wave.3"
                from: 0.25
                to: 2.0
                value: host.rumbleStrength
                accessibleName: qsTr("Strength")
                onMoved: (value) => host.rumbleStrength = value
            }
        }
        FormRow {
            spacing: 12
            PushButton {
                objectName: "testRumbleButton"
                enabled: page.hasControllers
                text: qsTr("Test Rumble")
                contentItem: IconLabel {
                    symbol: "iphone.radiowaves.left.and.right"
                    text: qsTr("Test Rumble")
                    spacing: 4
                    opacity: page.hasControllers ? 1 : 0.45
                }
                onClicked: Qt.callLater(() => host.testRumble())
            }
            Label {
                objectName: "testRumbleHint"
                visible: !page.hasControllers
                text: qsTr("Connect a controller to test.")
                font.pixelSize: Theme.calloutSize
                color: Theme.secondary
            }
            Item { Layout.fillWidth: true }
        }
        FormRow {
            visible: host.audioRumbleProblem.length > 0
            IconLabel {
                objectName: "audioRumbleProblem"
                symbol: "exclamationmark.triangle.fill"
                color: Theme.orange
                text: host.audioRumbleProblem
                Layout.fillWidth: true
            }
        }

        footerItems: [
            Label {
                text: qsTr("Audio is analysed on this computer and never recorded or sent anywhere — only two motor levels reach your iPhone.")
                font.pixelSize: Theme.calloutSize
                color: Theme.secondary
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            },
            LinkButton {
                objectName: "soundSettingsLink"
                visible: host.rumbleFromAudio && page.silent
                text: qsTr("Rumble not reacting? Check sound settings…")
                // the text, not the focus ring's room, lines up with the note above
                Layout.leftMargin: -3
                onClicked: host.openPrivacySettings("Privacy_ScreenCapture")
            }
        ]
    }

    FormSection {
        header: qsTr("Gamepad Rumble")
        FormRow {
            Label {
                text: qsTr("In Virtual Gamepad mode, apps can also rumble a controller directly by writing its HID output report: two bytes (heavy motor, light motor, 0–255) on vendor page 0xFF00, usage 0x01.")
                font.pixelSize: Theme.calloutSize
                color: Theme.secondary
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
    }

    FormSection {
        header: qsTr("Gyro Aim")
        footer: qsTr("Turn on Gyro Aim on your iPhone under Settings › Motion. In Keyboard & Mouse mode it moves the pointer directly; in Virtual Gamepad mode it's blended into the right stick. Tilt to Steer always drives the left stick.")
        FormRow {
            title: qsTr("Gyro pointer speed")
            Item { Layout.fillWidth: true }
            SymbolSlider {
                objectName: "gyroSlider"
                minimumSymbol: "tortoise"
                maximumSymbol: "hare"
                from: 300
                to: 3000
                value: host.gyroSpeed
                accessibleName: qsTr("Gyro pointer speed")
                onMoved: (value) => host.gyroSpeed = value
            }
        }
    }
}
