import QtQuick
import QtQuick.Layouts
import QtQuick.Controls

// A scrolling page of grouped form sections under a large title.
ScrollView {
    id: page

    property string title
    property string subtitle
    default property alias content: column.data

    contentWidth: availableWidth
    contentHeight: column.implicitHeight + 36
    clip: true
    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

    background: Rectangle { color: Theme.windowBackground }

    ColumnLayout {
        id: column
        width: Math.min(page.availableWidth - 48, 760)
        x: (page.availableWidth - width) / 2
        spacing: 20

        y: 20

        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            Label {
                text: page.title
                font.pixelSize: Theme.titleSize
                font.bold: true
                color: Theme.primary
                Accessible.role: Accessible.Heading
            }
            Label {
                visible: page.subtitle.length > 0
                text: page.subtitle
                color: Theme.secondary
                font.pixelSize: Theme.calloutSize
                Layout.fillWidth: true
                wrapMode: Text.Wrap
            }
        }
    }
}
