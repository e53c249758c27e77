import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto
import "RelativeDate.js" as RelativeDate

// The pairing PIN and the phones that have paired with this host.
FormPage {
    id: page
    title: qsTr("Paired iPhones")

    // Ticks the relative dates along while the pane is open.
    property date now: new Date()
    Timer {
        interval: 30000
        running: page.visible
        repeat: true
        onTriggered: page.now = new Date()
    }

    FormSection {
        header: qsTr("Pairing PIN")
        FormRow {
            spacing: 20
            verticalPadding: 14

            TextEdit {
                id: pinText
                objectName: "pinText"
                text: host.pin
                textFormat: TextEdit.PlainText
                readOnly: true
                selectByMouse: true
                font.pixelSize: 44
                font.bold: true
                font.letterSpacing: 8
                color: Theme.primary
                selectionColor: Theme.accent
                selectedTextColor: Theme.accentText
                Layout.alignment: Qt.AlignVCenter
                Accessible.name: qsTr("Pairing PIN")

                // A new PIN arrives with a small spring, so the change is noticed.
                transformOrigin: Item.Center
                onTextChanged: pinSpring.restart()
                SequentialAnimation {
                    id: pinSpring
                    PropertyAction { target: pinText; property: "scale"; value: 0.82 }
                    SpringAnimation {
                        target: pinText; property: "scale"; to: 1
                        spring: 3; damping: 0.3; epsilon: 0.005
                    }
                }
            }
            ColumnLayout {
                spacing: 4
                Layout.fillWidth: true
                Label {
                    text: qsTr("Enter this on your iPhone the first time it connects.")
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
                Label {
                    text: qsTr("Each PIN works once, and changes after 5 wrong tries.")
                    color: Theme.secondary
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
                PushButton {
                    objectName: "newPinButton"
                    text: qsTr("New PIN")
                    icon.width: 0
                    leftPadding: 10
                    contentItem: IconLabel {
                        symbol: "arrow.clockwise"
                        text: qsTr("New PIN")
                        spacing: 4
                    }
                    Layout.topMargin: 4
                    onClicked: host.regeneratePIN()
                }
            }
        }
        // Wrong PINs paused pairing: the PIN above is refused until then.
        FormRow {
            visible: host.pairingPaused
            IconLabel {
                objectName: "pairingPausedNotice"
                symbol: "exclamationmark.triangle.fill"
                color: Theme.orange
                text: qsTr("Pairing is paused until %1 after too many wrong PINs. “New PIN” ends the pause.").arg(host.pairingPausedUntil)
                Layout.fillWidth: true
            }
        }
    }

    FormSection {
        header: qsTr("Phones without the app")
        FormRow {
            spacing: 12
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                // The switch's label: clicking it toggles the switch.
                TapHandler { onTapped: host.webPageEnabled = !host.webPageEnabled }
                Label {
                    text: qsTr("Controller page in the browser")
                    Layout.fillWidth: true
                }
                Label {
                    text: qsTr("Any phone on this network can play in its web browser. It pairs with the same PIN.")
                    font.pixelSize: Theme.calloutSize
                    color: Theme.secondary
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
            ToggleSwitch {
                objectName: "webPageSwitch"
                checked: host.webPageEnabled
                Accessible.name: qsTr("Controller page in the browser")
                onToggled: host.webPageEnabled = checked
            }
        }
        FormRow {
            objectName: "webPageRow"
            visible: host.webPageEnabled && host.webPageAddress.length > 0
            spacing: 16
            verticalPadding: 12
            QrCode {
                objectName: "webPageQr"
                text: host.webPageAddress
                implicitWidth: 132
                implicitHeight: 132
                Accessible.name: qsTr("QR code of the controller page's address")
            }
            ColumnLayout {
                spacing: 4
                Layout.fillWidth: true
                Label {
                    text: qsTr("Scan the code with the phone's camera, or open:")
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
                TextEdit {
                    objectName: "webPageAddress"
                    text: host.webPageAddress
                    textFormat: TextEdit.PlainText
                    readOnly: true
                    selectByMouse: true
                    font.pixelSize: 17
                    font.bold: true
                    color: Theme.primary
                    selectionColor: Theme.accent
                    selectedTextColor: Theme.accentText
                    Layout.fillWidth: true
                }
                Label {
                    text: qsTr("Gyro aim needs a secure page, so it is off in the browser; everything else works.")
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondary
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
        }
    }

    FormSection {
        header: qsTr("Paired iPhones")

        FormRow {
            visible: host.trustedDevices.length === 0
            Label {
                objectName: "noDevices"
                text: qsTr("No iPhones have paired yet.")
                color: Theme.secondary
            }
        }
        Repeater {
            objectName: "deviceRows"
            model: host.trustedDevices
            FormRow {
                id: deviceRow
                required property var modelData
                spacing: 10

                Icon {
                    symbol: "iphone.gen3"
                    color: Theme.secondary
                    size: 22
                }
                ColumnLayout {
                    spacing: 1
                    Layout.fillWidth: true
                    Label {
                        text: deviceRow.modelData.name
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                    }
                    Label {
                        objectName: "lastConnected"
                        text: qsTr("Last connected %1")
                              .arg(RelativeDate.describe(deviceRow.modelData.lastSeen, page.now))
                        font.pixelSize: Theme.captionSize
                        color: Theme.secondary
                    }
                }
                PushButton {
                    objectName: "forgetButton"
                    text: qsTr("Forget")
                    palette.buttonText: Theme.red
                    onClicked: host.forget(deviceRow.modelData.id)
                }
            }
        }
    }
}
