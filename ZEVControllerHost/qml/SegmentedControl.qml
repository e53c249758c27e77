import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A row of mutually exclusive options drawn as one segmented control, at its natural size.
// Choosing an option emits `activated` with its value; the owner writes the model, and the
// selection follows the model through `value`. From the keyboard, Left and Right move a focus
// ring over the options and Space or Return chooses the ringed one.
Control {
    id: control

    // [{ text, value }]
    property var options: []
    property string value
    property int pixelSize: Theme.bodySize
    // The option under the focus ring; it starts at the selected one each time focus arrives.
    property int focusIndex: 0
    readonly property int selectedIndex: options.findIndex((option) => option.value === value)

    signal activated(string value)

    padding: 2
    focusPolicy: Qt.TabFocus
    Accessible.role: Accessible.PageTabList

    onActiveFocusChanged: if (activeFocus) focusIndex = Math.max(0, selectedIndex)
    Keys.onLeftPressed: focusIndex = Math.max(0, focusIndex - 1)
    Keys.onRightPressed: focusIndex = Math.min(options.length - 1, focusIndex + 1)
    Keys.onPressed: (event) => {
        if (event.key === Qt.Key_Space || event.key === Qt.Key_Return
                || event.key === Qt.Key_Enter) {
            if (focusIndex >= 0 && focusIndex < options.length)
                activated(options[focusIndex].value);
            event.accepted = true;
        }
    }

    background: Rectangle {
        radius: 7
        color: Theme.quaternaryFill
        border.color: Theme.separator
    }

    contentItem: Row {
        spacing: 2
        Repeater {
            model: control.options
            AbstractButton {
                id: segment
                required property var modelData
                required property int index
                readonly property bool selected: control.value === modelData.value
                objectName: "segment_" + modelData.value
                text: modelData.text
                checkable: false
                checked: selected
                padding: 0
                leftPadding: 14
                rightPadding: 14
                topPadding: 4
                bottomPadding: 4
                focusPolicy: Qt.NoFocus
                Accessible.role: Accessible.PageTab
                Accessible.name: text
                Accessible.checkable: true
                Accessible.checked: selected

                contentItem: Label {
                    text: segment.text
                    font.pixelSize: control.pixelSize
                    font.weight: segment.selected ? Font.DemiBold : Font.Normal
                    color: segment.selected ? Theme.accentText : Theme.primary
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                background: Rectangle {
                    radius: 5
                    color: segment.selected ? Theme.accent
                                            : (segment.hovered ? Theme.quaternaryFill
                                                               : "transparent")
                    FocusRing {
                        objectName: "segmentFocusRing"
                        visible: control.activeFocus && control.focusIndex === segment.index
                        offset: 0
                        radius: 5
                    }
                }
                onClicked: control.activated(modelData.value)
            }
        }
    }
}
