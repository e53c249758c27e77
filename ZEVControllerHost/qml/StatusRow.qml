import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// Whether one output is ready, in words, with the control that fixes it while it is not.
FormRow {
    id: row

    property bool isReady
    property string ready
    property string missing
    // The trailing control, shown only while not ready.
    property alias action: actionSlot.data

    spacing: 10

    Icon {
        symbol: row.isReady ? "checkmark.circle.fill" : "exclamationmark.circle.fill"
        color: row.isReady ? Theme.green : Theme.orange
        size: 18
        Layout.alignment: Qt.AlignTop
    }
    Label {
        objectName: "statusText"
        text: row.isReady ? row.ready : row.missing
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignTop
        Layout.topMargin: 1
    }
    RowLayout {
        id: actionSlot
        visible: !row.isReady
        Layout.alignment: Qt.AlignTop
    }
}
