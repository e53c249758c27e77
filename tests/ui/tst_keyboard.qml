import QtQuick
import QtTest
import Jolto

// The window and the panel without a mouse: Tab order, arrows, Space and Return, Escape.
Item {
    id: root
    width: 940
    height: 640

    Component {
        id: windowComponent
        MainWindow { anchors.fill: parent }
    }
    Component {
        id: panelComponent
        MenuBarPanel {}
    }

    TestCase {
        name: "Keyboard"
        when: windowShown

        function init() {
            host.reset();
            app.reset();
            root.Window.window.requestActivate();
            tryVerify(() => root.Window.active);
        }

        function create(component) {
            const view = createTemporaryObject(component, root);
            verify(view);
            waitForRendering(view);
            return view;
        }

        // The name of the focused control: its own objectName or that of its nearest owner.
        function focusedName() {
            for (let item = root.Window.activeFocusItem; item; item = item.parent) {
                if (item.objectName.length > 0)
                    return item.objectName;
            }
            return "";
        }

        function test_tabOrder_data() {
            const captures = [];
            for (let i = 0; i < 19; ++i)
                captures.push("capture_" + i);
            return [
                { tag: "controllers", section: "controllers", trusted: false,
                  order: ["section_controllers", "bannerButton"] },
                { tag: "mapping", section: "mapping", trusted: true,
                  order: ["section_mapping", "preset_shooter", "preset_retro", "leftStickPicker",
                          "rightStickPicker", "slider"].concat(captures) },
                { tag: "feedback", section: "feedback", trusted: true,
                  order: ["section_feedback", "audioRumbleSwitch", "slider", "soundSettingsLink",
                          "slider"] },
                { tag: "devices", section: "devices", trusted: true,
                  order: ["section_devices", "newPinButton", "webPageSwitch",
                          "forgetButton"] },
                { tag: "setup", section: "setup", trusted: false,
                  order: ["section_setup", "allowAccessButton", "gamepadDevicePicker"] },
                { tag: "panel", panel: true, trusted: false,
                  order: ["panelOutputMode", "panelAudioSwitch", "panelAllowAccess",
                          "openWindowButton", "quitButton"] },
            ];
        }

        // From the output picker, Tab walks the sidebar (one stop, on the chosen section's row)
        // and then the section in reading order,
        // and comes back round to the picker; Shift+Tab walks the same way back. The panel
        // from its first control, New PIN.
        function test_tabOrder(data) {
            host.isAccessibilityTrusted = data.trusted;
            host.rumbleFromAudio = true;
            host.trustedDevices = [host.makeDevice("Anna’s iPhone", 60)];
            const window = create(data.panel ? panelComponent : windowComponent);
            if (!data.panel)
                window.section = data.section;
            waitForRendering(window);
            const start = data.panel ? "panelNewPin" : "outputModePicker";
            findChild(window, start).forceActiveFocus(Qt.TabFocusReason);
            const forward = [];
            for (let i = 0; i <= data.order.length; ++i) {
                keyClick(Qt.Key_Tab);
                forward.push(focusedName());
            }
            compare(forward, data.order.concat([start]));
            keyClick(Qt.Key_Backtab);
            compare(focusedName(), data.order[data.order.length - 1]);
            // the focused control is scrolled into view
            const focused = root.Window.activeFocusItem;
            const y = focused.mapToItem(window, 0, 0).y;
            verify(y >= 0 && y + focused.height <= window.height, "at y " + y);
        }

        function test_arrowsChooseTheSection_data() {
            return [
                { tag: "down", keys: [Qt.Key_Down], section: "mapping" },
                { tag: "down past the end", keys: [Qt.Key_End, Qt.Key_Down], section: "setup" },
                { tag: "up", keys: [Qt.Key_End, Qt.Key_Up], section: "devices" },
                { tag: "up past the start", keys: [Qt.Key_Up], section: "controllers" },
                { tag: "home", keys: [Qt.Key_Down, Qt.Key_Down, Qt.Key_Home],
                  section: "controllers" },
            ];
        }

        function test_arrowsChooseTheSection(data) {
            const window = create(windowComponent);
            const list = findChild(window, "sectionList");
            list.forceActiveFocus(Qt.TabFocusReason);
            for (const key of data.keys)
                keyClick(key);
            compare(window.section, data.section);
            // the focus stays on the list, and its ring is on the chosen row
            verify(list.activeFocus);
            verify(findChild(findChild(window, "section_" + data.section),
                             "sectionFocusRing").visible);
        }

        // `ring`: the option under the focus ring at the end.
        function test_outputPicker_data() {
            return [
                { tag: "window, right and space", panel: false, keys: [Qt.Key_Right, Qt.Key_Space],
                  calls: ["outputMode=gamepad"], ring: "gamepad" },
                { tag: "panel, right and return", panel: true, keys: [Qt.Key_Right, Qt.Key_Return],
                  calls: ["outputMode=gamepad"], ring: "gamepad" },
                { tag: "right twice stops at the end", panel: false,
                  keys: [Qt.Key_Right, Qt.Key_Right, Qt.Key_Enter], calls: ["outputMode=gamepad"],
                  ring: "gamepad" },
                { tag: "arrows alone choose nothing", panel: true, keys: [Qt.Key_Right],
                  calls: [], ring: "gamepad" },
                { tag: "right then left", panel: false, keys: [Qt.Key_Right, Qt.Key_Left, Qt.Key_Space],
                  calls: ["outputMode=keyboardMouse"], ring: "keyboardMouse" },
            ];
        }

        function test_outputPicker(data) {
            const view = create(data.panel ? panelComponent : windowComponent);
            const picker = findChild(view, data.panel ? "panelOutputMode" : "outputModePicker");
            picker.forceActiveFocus(Qt.TabFocusReason);
            for (const key of data.keys)
                keyClick(key);
            compare(host.calls, data.calls);
            verify(findChild(findChild(picker, "segment_" + data.ring), "segmentFocusRing").visible);
        }

        // Space opens the capture menu, Return on its first item starts recording, and the
        // next key, Escape included, is what gets recorded.
        function test_recordAKeyWithTheKeyboard() {
            root.height = 1500;
            const window = create(windowComponent);
            window.section = "mapping";
            waitForRendering(window);
            const capture = findChild(window, "capture_0");
            capture.forceActiveFocus(Qt.TabFocusReason);
            compare(capture.Accessible.name, "South face button, currently Space");
            keyClick(Qt.Key_Space);
            tryCompare(capture.menu, "opened", true);
            keyClick(Qt.Key_Down);
            keyClick(Qt.Key_Return);
            tryCompare(capture.menu, "visible", false);
            verify(capture.isRecording);
            testKeys.press(capture, Qt.Key_Escape, 9);
            compare(host.calls, ["setButtonAction(0,key,53,)"]);
            verify(!capture.isRecording);
            compare(capture.Accessible.name, "South face button, currently Esc");
            root.height = 640;
        }

        function test_escapeClosesThePanel() {
            create(panelComponent);
            keyClick(Qt.Key_Escape);
            compare(app.closePanelCalls, 1);
        }
    }
}
