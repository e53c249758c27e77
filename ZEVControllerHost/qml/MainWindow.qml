import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Jolto

// The content of the main window: a toolbar with the output mode, a sidebar with the five
// sections, and the selected section's pane. The application puts it into its window
// (title "JOLTO Host", 940 x 640, minimum 780 x 520: see minimumWidth/minimumHeight).
PaletteScope {
    id: window

    // "controllers", "mapping", "feedback", "devices" or "setup"; starts at controllers each
    // time the content is created and is not kept.
    property string section: "controllers"
    readonly property int minimumWidth: 780
    readonly property int minimumHeight: 520

    readonly property var sections: [
        { id: "controllers", title: qsTr("Controllers"), symbol: "gamecontroller" },
        { id: "mapping", title: qsTr("Key Mapping"), symbol: "keyboard" },
        { id: "feedback", title: qsTr("Rumble & Motion"), symbol: "waveform.path" },
        { id: "devices", title: qsTr("Paired iPhones"), symbol: "iphone.gen3" },
        { id: "setup", title: qsTr("Setup"), symbol: "checklist" }
    ]


    // Without a tray icon there is no panel to quit from, so the window offers it.
    QuitShortcut {
        enabled: !app.hasTray
        onActivated: app.quit()
    }

    header: ToolBar {
        id: toolbar
        padding: 10
        background: Rectangle {
            color: Theme.sidebarBackground
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: Theme.separator
            }
        }

        Item {
            anchors.fill: parent
            implicitHeight: modeRow.implicitHeight

            RowLayout {
                id: modeRow
                anchors.centerIn: parent
                spacing: 10
                Label {
                    text: qsTr("Output")
                    color: Theme.secondary
                }
                SegmentedControl {
                    id: modePicker
                    objectName: "outputModePicker"
                    value: host.outputMode
                    options: [
                        { text: qsTr("Keyboard & Mouse"), value: "keyboardMouse" },
                        { text: qsTr("Virtual Gamepad"), value: "gamepad" }
                    ]
                    Accessible.name: qsTr("Output")
                    onActivated: (value) => host.outputMode = value
                    HoverHandler { id: modeHover }
                    ToolTip.visible: modeHover.hovered
                    ToolTip.delay: 600
                    ToolTip.text: qsTr("How controller input reaches your games")
                }
            }

            ToolButton {
                objectName: "quitButton"
                visible: !app.hasTray
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Quit")
                onClicked: app.quit()
                FocusRing { visible: parent.visualFocus; radius: 5 }
            }
        }
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            id: sidebar
            color: Theme.sidebarBackground
            Layout.fillHeight: true
            Layout.preferredWidth: 210
            Layout.minimumWidth: 190

            ListView {
                id: sectionList
                objectName: "sectionList"
                anchors.fill: parent
                anchors.margins: 10
                spacing: 2
                model: window.sections
                currentIndex: {
                    for (let i = 0; i < window.sections.length; ++i) {
                        if (window.sections[i].id === window.section)
                            return i;
                    }
                    return -1;
                }
                // One stop in the Tab chain; Up and Down (Home, End) choose the section at once.
                activeFocusOnTab: true
                keyNavigationEnabled: false
                interactive: false
                Accessible.role: Accessible.List
                Accessible.name: qsTr("Sections")
                function choose(index) {
                    const i = Math.max(0, Math.min(window.sections.length - 1, index));
                    window.section = window.sections[i].id;
                }
                Keys.onUpPressed: choose(currentIndex - 1)
                Keys.onDownPressed: choose(currentIndex + 1)
                Keys.onPressed: (event) => {
                    if (event.key === Qt.Key_Home || event.key === Qt.Key_End) {
                        choose(event.key === Qt.Key_Home ? 0 : window.sections.length - 1);
                        event.accepted = true;
                    }
                }

                delegate: ItemDelegate {
                    id: row
                    required property var modelData
                    required property int index
                    readonly property bool selected: window.section === modelData.id
                    readonly property int badge: modelData.id === "controllers"
                                                 ? host.clientCount : 0
                    objectName: "section_" + modelData.id
                    width: ListView.view.width
                    height: 34
                    leftPadding: 10
                    rightPadding: 10
                    focusPolicy: Qt.NoFocus
                    text: modelData.title
                    Accessible.name: badge > 0 ? modelData.title + ", " + badge : modelData.title
                    Accessible.selected: selected

                    background: Rectangle {
                        radius: 7
                        color: row.selected ? Qt.rgba(Theme.accent.r, Theme.accent.g,
                                                      Theme.accent.b, Theme.isDark ? 0.32 : 0.16)
                                            : (row.hovered ? Theme.quaternaryFill : "transparent")
                        FocusRing {
                            objectName: "sectionFocusRing"
                            visible: row.selected && sectionList.activeFocus
                            offset: 0
                            radius: parent.radius
                        }
                    }
                    contentItem: RowLayout {
                        spacing: 10
                        Icon {
                            symbol: row.modelData.symbol
                            size: 18
                            color: row.selected ? Theme.accent : Theme.secondary
                            Layout.preferredWidth: 20
                        }
                        Label {
                            text: row.modelData.title
                            color: Theme.primary
                            font.weight: row.selected ? Font.DemiBold : Font.Normal
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        Rectangle {
                            objectName: "countBadge"
                            visible: row.badge > 0
                            implicitWidth: Math.max(20, badgeText.implicitWidth + 12)
                            implicitHeight: 18
                            radius: 9
                            color: Theme.quaternaryFill
                            Label {
                                id: badgeText
                                objectName: "countBadgeText"
                                anchors.centerIn: parent
                                text: row.badge
                                font.pixelSize: Theme.captionSize
                                font.weight: Font.DemiBold
                                color: Theme.secondary
                            }
                        }
                    }
                    onClicked: window.section = modelData.id
                }
            }
        }

        Rectangle {
            Layout.fillHeight: true
            Layout.preferredWidth: 1
            color: Theme.separator
        }

        Loader {
            id: detail
            objectName: "detail"
            Layout.fillWidth: true
            Layout.fillHeight: true
            sourceComponent: {
                switch (window.section) {
                case "mapping": return mappingPane;
                case "feedback": return feedbackPane;
                case "devices": return devicesPane;
                case "setup": return setupPane;
                default: return controllersPane;
                }
            }
        }
    }

    Component { id: controllersPane; ControllersView {} }
    Component { id: mappingPane; MappingView {} }
    Component { id: feedbackPane; FeedbackView {} }
    Component { id: devicesPane; DevicesView {} }
    Component { id: setupPane; SetupView {} }
}
