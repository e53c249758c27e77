import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A continuous slider with a symbol at each end, at most 320 wide. It follows `value` from the
// model and reports only the user's moves, so a model update is never written back.
RowLayout {
    id: control

    property string minimumSymbol
    property string maximumSymbol
    property alias from: slider.from
    property alias to: slider.to
    property real value
    property string accessibleName

    signal moved(real value)

    spacing: 8
    Layout.maximumWidth: 320
    Layout.fillWidth: true

    Icon {
        symbol: control.minimumSymbol
        color: Theme.secondary
        size: 16
    }
    Slider {
        id: slider
        objectName: "slider"
        value: control.value
        stepSize: 0
        live: true
        Layout.fillWidth: true
        Accessible.name: control.accessibleName
        onMoved: control.moved(value)
        FocusRing {
            parent: slider.handle
            visible: slider.visualFocus
            radius: 5
        }
    }
    Icon {
        symbol: control.maximumSymbol
        color: Theme.secondary
        size: 16
    }
}
