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

    // Keeps the control that has the keyboard focus in view, as Tab walks down the page.
    readonly property Item focusedItem: Window.activeFocusItem
    onFocusedItemChanged: Qt.callLater(reveal, focusedItem)
    function reveal(item) {
        let inside = item;
        while (inside && inside !== column)
            inside = inside.parent;
        if (!inside)
            return;
        const flickable = page.contentItem;
        const top = item.mapToItem(flickable.contentItem, 0, 0).y - 12;
        const bottom = top + item.height + 24;
        if (top < flickable.contentY)
            flickable.contentY = Math.max(0, top);
        else if (bottom > flickable.contentY + flickable.height)
            flickable.contentY = Math.min(bottom - flickable.height,
                                          Math.max(0, flickable.contentHeight - flickable.height));
    }

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
