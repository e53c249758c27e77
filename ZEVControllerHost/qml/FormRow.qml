import QtQuick
import QtQuick.Layouts
import QtQuick.Controls

// One row of a form section: an optional title at the leading edge and the row's content.
// Rows after the first visible one draw a hairline above themselves.
Item {
    id: row

    property string title
    default property alias content: contentRow.data
    property alias spacing: contentRow.spacing
    property int verticalPadding: 10

    readonly property bool isFirst: {
        const siblings = parent ? parent.children : [];
        for (let i = 0; i < siblings.length; ++i) {
            if (siblings[i].visible)
                return siblings[i] === row;
        }
        return true;
    }

    Layout.fillWidth: true
    implicitHeight: layout.implicitHeight + 2 * verticalPadding
    implicitWidth: layout.implicitWidth

    Rectangle {
        visible: !row.isFirst
        width: parent.width
        height: 1
        color: Theme.separator
    }

    RowLayout {
        id: layout
        y: row.verticalPadding
        width: parent.width
        spacing: 12

        Label {
            visible: row.title.length > 0
            text: row.title
            color: Theme.primary
            Layout.alignment: Qt.AlignVCenter
        }
        RowLayout {
            id: contentRow
            spacing: 8
            Layout.fillWidth: true
        }
    }
}
