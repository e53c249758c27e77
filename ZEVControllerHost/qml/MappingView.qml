import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto
import "Buttons.js" as Buttons

// The key mapping used in Keyboard & Mouse mode: presets, sticks, pointer speed and one row
// per controller button. Every edit goes to the model, which saves only real changes.
FormPage {
    id: page
    title: qsTr("Key Mapping")

    readonly property var stickOptions: [
        { text: qsTr("Nothing"), value: "none" },
        { text: qsTr("W A S D"), value: "wasd" },
        { text: qsTr("Arrow Keys"), value: "arrows" },
        { text: qsTr("Mouse Pointer"), value: "mouse" },
        { text: qsTr("Scroll"), value: "scroll" }
    ]

    // A picker over the stick actions. Choosing writes the model; the shown choice always comes
    // back from the model, also after the user's own choice.
    component StickPicker: ComboBox {
        id: picker
        property string current
        signal chosen(string value)
        textRole: "text"
        valueRole: "value"
        implicitContentWidthPolicy: ComboBox.WidestText
        leftPadding: 10
        // `count` ties the choice to the options too, which arrive after `current`.
        currentIndex: count > 0 ? indexOfValue(current) : -1
        onActivated: (index) => {
            chosen(valueAt(index));
            currentIndex = Qt.binding(() => picker.count > 0 ? picker.indexOfValue(picker.current) : -1);
        }
        Layout.alignment: Qt.AlignRight
        FocusRing {
            visible: picker.visualFocus
            radius: 5
        }
    }

    IconLabel {
        objectName: "gamepadInfo"
        visible: host.outputMode === "gamepad"
        symbol: "info.circle"
        text: qsTr("Key mapping applies in Keyboard & Mouse mode. In Virtual Gamepad mode, games see a real controller.")
        color: Theme.secondary
        Layout.fillWidth: true
    }

    FormSection {
        header: qsTr("Preset")
        FormRow {
            PushButton {
                objectName: "preset_shooter"
                text: qsTr("Shooter — WASD + Mouse")
                onClicked: host.applyPreset("shooter")
            }
            PushButton {
                objectName: "preset_retro"
                text: qsTr("Retro — Arrows + Z X A S")
                onClicked: host.applyPreset("retro")
            }
            Item { Layout.fillWidth: true }
        }
    }

    FormSection {
        header: qsTr("Sticks")
        FormRow {
            title: qsTr("Left stick")
            Item { Layout.fillWidth: true }
            StickPicker {
                objectName: "leftStickPicker"
                model: page.stickOptions
                current: host.leftStickAction
                Accessible.name: qsTr("Left stick")
                onChosen: (value) => host.leftStickAction = value
            }
        }
        FormRow {
            title: qsTr("Right stick")
            Item { Layout.fillWidth: true }
            StickPicker {
                objectName: "rightStickPicker"
                model: page.stickOptions
                current: host.rightStickAction
                Accessible.name: qsTr("Right stick")
                onChosen: (value) => host.rightStickAction = value
            }
        }
        FormRow {
            title: qsTr("Pointer speed")
            Item { Layout.fillWidth: true }
            SymbolSlider {
                objectName: "pointerSpeedSlider"
                minimumSymbol: "tortoise"
                maximumSymbol: "hare"
                from: 300
                to: 3500
                value: host.pointerSpeed
                accessibleName: qsTr("Pointer speed")
                onMoved: (value) => host.pointerSpeed = value
            }
        }
    }

    FormSection {
        header: qsTr("Buttons")
        footer: qsTr("Face buttons are positional: “South” is A on Xbox, Cross on PlayStation and B on Switch.")

        Repeater {
            model: Buttons.all.length
            FormRow {
                id: buttonRow
                required property int index
                objectName: "buttonRow_" + index
                verticalPadding: 6
                spacing: 10

                Rectangle {
                    implicitWidth: 40
                    implicitHeight: 22
                    radius: 6
                    color: Theme.quaternaryFill
                    Label {
                        anchors.centerIn: parent
                        text: Buttons.all[buttonRow.index].shortLabel
                        font.pixelSize: Theme.captionSize
                        font.weight: Font.Black
                        color: Theme.primary
                    }
                }
                Label {
                    text: qsTranslate("Buttons", Buttons.all[buttonRow.index].displayName)
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                KeyCaptureButton {
                    objectName: "capture_" + buttonRow.index
                    keyAction: host.buttonActions[buttonRow.index]
                    buttonName: qsTranslate("Buttons", Buttons.all[buttonRow.index].displayName)
                    onEdited: (kind, code, mouse) =>
                              host.setButtonAction(buttonRow.index, kind, code, mouse)
                }
            }
        }
    }
}
