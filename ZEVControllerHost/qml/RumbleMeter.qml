import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// The live audio rumble levels as two bars: heavy (low) and sharp (high), each 0 to 1.
ColumnLayout {
    id: meter

    property real low: 0
    property real high: 0

    // Whole percent, dropping the fraction the way the levels' 32-bit floats do (0.379 → 37).
    function percent(level) {
        return Math.max(0, Math.trunc(Math.fround(Math.fround(level) * 100)));
    }
    readonly property string accessibleValue:
        qsTr("Heavy %1 percent, sharp %2 percent").arg(percent(low)).arg(percent(high))

    spacing: 6
    Accessible.role: Accessible.Indicator
    Accessible.name: qsTr("Rumble level")
    Accessible.description: accessibleValue

    Repeater {
        model: [
            { title: qsTr("Heavy"), color: Theme.orange, key: "low" },
            { title: qsTr("Sharp"), color: Theme.yellow, key: "high" }
        ]
        RowLayout {
            id: row
            required property var modelData
            readonly property real level: modelData.key === "low" ? meter.low : meter.high
            spacing: 8
            Layout.fillWidth: true

            Label {
                text: row.modelData.title
                font.pixelSize: Theme.captionSize
                color: Theme.secondary
                Layout.preferredWidth: 44
                Accessible.ignored: true
            }
            Rectangle {
                id: track
                objectName: "track_" + row.modelData.key
                Layout.fillWidth: true
                Layout.alignment: Qt.AlignVCenter
                implicitHeight: 8
                radius: 4
                color: Theme.quaternaryFill

                Rectangle {
                    objectName: "bar_" + row.modelData.key
                    height: parent.height
                    radius: height / 2
                    width: Math.max(0, track.width * row.level)
                    visible: width > 0
                    gradient: Gradient {
                        orientation: Gradient.Horizontal
                        GradientStop { position: 0; color: Qt.lighter(row.modelData.color, 1.25) }
                        GradientStop { position: 1; color: row.modelData.color }
                    }
                    Behavior on width {
                        NumberAnimation { duration: 50; easing.type: Easing.Linear }
                    }
                }
            }
        }
    }
}
