import QtQuick
import QtQuick.Layouts
import QtQuick.Controls

// One group of a form: a header, rows on a rounded plate, and an optional footer.
ColumnLayout {
    id: section

    property string header
    property string footer
    default property alias rows: plate.data
    property alias footerItems: footerColumn.data

    spacing: 6
    Layout.fillWidth: true

    Label {
        visible: section.header.length > 0
        text: section.header
        font.pixelSize: Theme.calloutSize
        font.bold: true
        color: Theme.secondary
        Layout.leftMargin: 4
    }

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: plate.implicitHeight + 8
        radius: 10
        color: Theme.groupBackground
        border.color: Theme.separator
        border.width: Theme.isDark ? 0 : 1

        ColumnLayout {
            id: plate
            x: 14
            y: 4
            width: parent.width - 28
            spacing: 0
        }
    }

    ColumnLayout {
        id: footerColumn
        spacing: 6
        Layout.fillWidth: true
        Layout.leftMargin: 4
        Layout.rightMargin: 4
        visible: section.footer.length > 0 || children.length > 1

        Label {
            visible: section.footer.length > 0
            text: section.footer
            color: Theme.secondary
            font.pixelSize: Theme.calloutSize
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
}
