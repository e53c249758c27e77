import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// The connected controllers as live cards, or how to connect the first one.
Item {
    id: view

    readonly property int minimumColumnWidth: 320
    readonly property int gap: 20
    readonly property int gridPadding: 24

    function escaped(text) {
        return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
                           .replace(/"/g, "&quot;");
    }
    // Fills %1 and %2 of a template in one pass, so that a "%2" inside the first value stays
    // as it is; the template's own text and both values are escaped for StyledText.
    function styledArgs(template, first, second) {
        return template.split(/(%[12])/).map((part) => part === "%1" ? first
                                                     : part === "%2" ? second
                                                     : escaped(part)).join("");
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 20
            Label {
                text: qsTr("Controllers")
                font.pixelSize: Theme.titleSize
                font.bold: true
                Accessible.role: Accessible.Heading
            }
            Label {
                objectName: "statusLine"
                text: host.statusText
                textFormat: Text.PlainText
                color: Theme.secondary
                font.pixelSize: Theme.calloutSize
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
        }

        OutputWarningBanner {
            objectName: "outputWarningBanner"
            visible: host.outputWarning.length > 0
            message: host.outputWarning
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 16
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            ColumnLayout {
                id: emptyState
                objectName: "emptyState"
                visible: host.clientCount === 0
                anchors.centerIn: parent
                width: Math.min(parent.width - 48, 440)
                spacing: 10

                Icon {
                    symbol: "gamecontroller"
                    size: 56
                    color: Theme.tertiary
                    Layout.alignment: Qt.AlignHCenter
                }
                Label {
                    text: qsTr("No Controllers")
                    font.pixelSize: Theme.title2Size
                    font.bold: true
                    Layout.alignment: Qt.AlignHCenter
                }
                Label {
                    objectName: "emptyDescription"
                    textFormat: Text.StyledText
                    text: view.styledArgs(
                              qsTr("Open JOLTO on your iPhone and choose “%1”. The first time, enter PIN %2."),
                              view.escaped(host.hostName), "<b>" + view.escaped(host.pin) + "</b>")
                    color: Theme.secondary
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                    lineHeight: 1.15
                    Layout.fillWidth: true
                }
            }

            ScrollView {
                id: scroller
                objectName: "controllerGrid"
                visible: host.clientCount > 0
                anchors.fill: parent
                contentWidth: availableWidth
                contentHeight: grid.implicitHeight + 2 * view.gridPadding
                ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
                ScrollBar.vertical.policy: ScrollBar.AsNeeded
                clip: true

                GridLayout {
                    id: grid
                    readonly property real innerWidth: scroller.availableWidth - 2 * view.gridPadding
                    x: view.gridPadding
                    y: view.gridPadding
                    width: innerWidth
                    columns: Math.max(1, Math.floor((innerWidth + view.gap)
                                                    / (view.minimumColumnWidth + view.gap)))
                    columnSpacing: view.gap
                    rowSpacing: view.gap

                    Repeater {
                        id: cards
                        objectName: "cards"
                        // By count, so that a new snapshot updates the cards in place instead
                        // of rebuilding them (and restarting their animations) 30 times a second.
                        model: host.clientCount
                        ControllerCard {
                            required property int index
                            client: host.clients[index] || ({})
                            Layout.fillWidth: true
                            Layout.preferredWidth: view.minimumColumnWidth
                            Layout.alignment: Qt.AlignTop
                        }
                    }
                }
            }
        }
    }
}
