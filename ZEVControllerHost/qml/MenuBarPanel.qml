import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// The content of the tray panel window: 330 wide, as high as its content (implicitHeight).
// The application shows it in a frameless window when the tray icon is clicked.
PaletteScope {
    id: panel

    readonly property bool hasControllers: host.clientCount > 0
    readonly property bool isGamepadMode: host.outputMode === "gamepad"

    width: 330
    implicitWidth: 330
    padding: 16
    background: Rectangle {
        color: Theme.windowBackground
        border.color: Theme.separator
    }

    QuitShortcut {
        id: quitShortcut
        onActivated: app.quit()
    }
    Shortcut {
        sequence: "Escape"
        context: Qt.WindowShortcut
        onActivated: app.closePanel()
    }

    ColumnLayout {
        width: panel.availableWidth
        spacing: 14

        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            Icon {
                objectName: "headerSymbol"
                symbol: panel.hasControllers ? "gamecontroller.fill" : "gamecontroller"
                color: panel.hasControllers ? Theme.accent : Theme.secondary
                size: 28
                Behavior on color { ColorAnimation { duration: 200 } }
            }
            ColumnLayout {
                spacing: 1
                Layout.fillWidth: true
                Label {
                    text: qsTr("JOLTO Host")
                    font.pixelSize: Theme.headlineSize
                    font.bold: true
                }
                Label {
                    objectName: "panelStatus"
                    text: host.statusText
                    textFormat: Text.PlainText
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondary
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
        }

        Rectangle {
            radius: 12
            color: Qt.rgba(Theme.quaternaryFill.r, Theme.quaternaryFill.g, Theme.quaternaryFill.b,
                           Theme.quaternaryFill.a * 0.5 + 0.03)
            Layout.fillWidth: true
            implicitHeight: pinRow.implicitHeight + 24

            RowLayout {
                id: pinRow
                x: 12
                y: 12
                width: parent.width - 24
                ColumnLayout {
                    spacing: 0
                    Label {
                        text: qsTr("Pairing PIN")
                        font.pixelSize: Theme.captionSize
                        color: Theme.secondary
                    }
                    Label {
                        id: pinLabel
                        objectName: "panelPin"
                        text: host.pin
                        textFormat: Text.PlainText
                        font.pixelSize: 28
                        font.bold: true
                        font.letterSpacing: 5
                        transformOrigin: Item.Left
                        onTextChanged: pinSpring.restart()
                        SequentialAnimation {
                            id: pinSpring
                            PropertyAction { target: pinLabel; property: "scale"; value: 0.85 }
                            SpringAnimation {
                                target: pinLabel; property: "scale"; to: 1
                                spring: 3; damping: 0.3; epsilon: 0.005
                            }
                        }
                    }
                }
                Item { Layout.fillWidth: true }
                ToolButton {
                    objectName: "panelNewPin"
                    contentItem: Icon {
                        symbol: "arrow.clockwise"
                        size: 20
                        color: Theme.secondary
                    }
                    Accessible.name: qsTr("New PIN")
                    FocusRing { visible: parent.visualFocus; radius: 5 }
                    ToolTip.visible: hovered
                    ToolTip.delay: 500
                    ToolTip.text: qsTr("New PIN")
                    onClicked: host.regeneratePIN()
                }
            }
        }

        IconLabel {
            objectName: "panelPairingPaused"
            visible: host.pairingPaused
            symbol: "exclamationmark.triangle.fill"
            color: Theme.orange
            pixelSize: Theme.captionSize
            text: qsTr("Pairing is paused until %1 after too many wrong PINs. “New PIN” ends the pause.").arg(host.pairingPausedUntil)
            Layout.fillWidth: true
        }

        RowLayout {
            objectName: "panelWebPage"
            visible: host.webPageEnabled && host.webPageAddress.length > 0
            spacing: 10
            Layout.fillWidth: true
            QrCode {
                text: host.webPageAddress
                implicitWidth: 76
                implicitHeight: 76
                Accessible.name: qsTr("QR code of the controller page's address")
            }
            ColumnLayout {
                spacing: 1
                Layout.fillWidth: true
                Label {
                    text: qsTr("No app? Play in the browser")
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondary
                    Layout.fillWidth: true
                }
                Label {
                    objectName: "panelWebAddress"
                    text: host.webPageAddress
                    textFormat: Text.PlainText
                    font.bold: true
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
        }

        ColumnLayout {
            objectName: "panelControllers"
            visible: panel.hasControllers
            spacing: 10
            Layout.fillWidth: true
            Repeater {
                model: host.clientCount
                RowLayout {
                    id: clientRow
                    required property int index
                    readonly property var client: host.clients[index] || ({})
                    spacing: 10
                    Layout.fillWidth: true
                    ControllerPreview {
                        controllerState: clientRow.client.state || ({})
                        isStale: !!clientRow.client.isStale
                        Layout.preferredWidth: 110
                        Layout.preferredHeight: 110 / 1.8
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label {
                            text: clientRow.client.name || ""
                            textFormat: Text.PlainText
                            font.pixelSize: Theme.calloutSize
                            font.weight: Font.DemiBold
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        Label {
                            text: qsTr("Player %1").arg(clientRow.client.playerNumber || 0)
                            font.pixelSize: Theme.captionSize
                            color: Theme.secondary
                        }
                    }
                }
            }
        }

        ColumnLayout {
            spacing: 6
            Layout.fillWidth: true
            Label {
                text: qsTr("Send input as")
                font.pixelSize: Theme.captionSize
                color: Theme.secondary
            }
            SegmentedControl {
                objectName: "panelOutputMode"
                value: host.outputMode
                pixelSize: Theme.calloutSize
                options: [
                    { text: qsTr("Keyboard & Mouse"), value: "keyboardMouse" },
                    { text: qsTr("Virtual Gamepad"), value: "gamepad" }
                ]
                Accessible.name: qsTr("Send input as")
                onActivated: (value) => host.outputMode = value
            }
        }

        ToggleSwitch {
            objectName: "panelAudioSwitch"
            small: true
            text: qsTr("Rumble from game audio")
            checked: host.rumbleFromAudio
            font.pixelSize: Theme.calloutSize
            padding: 0
            onToggled: host.rumbleFromAudio = checked
        }

        RowLayout {
            objectName: "panelWarning"
            visible: host.outputWarning.length > 0
            spacing: 8
            Layout.fillWidth: true
            Icon {
                symbol: "exclamationmark.triangle.fill"
                color: Theme.orange
                size: 16
                Layout.alignment: Qt.AlignTop
            }
            ColumnLayout {
                spacing: 6
                Layout.fillWidth: true
                Label {
                    text: host.outputWarning
                    textFormat: Text.PlainText
                    font.pixelSize: Theme.captionSize
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
                PushButton {
                    objectName: "panelAllowAccess"
                    // The access helper grants gamepads too.
                    visible: !panel.isGamepadMode || !host.isGamepadEntitled
                    text: qsTr("Allow Access…")
                    font.pixelSize: Theme.captionSize
                    padding: 4
                    leftPadding: 10
                    rightPadding: 10
                    onClicked: host.requestAccessibility()
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.separator
        }

        RowLayout {
            Layout.fillWidth: true
            ToolButton {
                objectName: "openWindowButton"
                text: qsTr("Open Window…")
                onClicked: app.openMainWindow()
                FocusRing { visible: parent.visualFocus; radius: 5 }
            }
            Item { Layout.fillWidth: true }
            ToolButton {
                objectName: "quitButton"
                text: qsTr("Quit")
                onClicked: app.quit()
                FocusRing { visible: parent.visualFocus; radius: 5 }
                ToolTip.visible: hovered
                ToolTip.delay: 800
                ToolTip.text: qsTr("Quit (%1)").arg(quitShortcut.nativeText)
            }
        }
    }
}
