import QtQuick
import QtTest
import Jolto
import "qrc:/qt/qml/Jolto/RelativeDate.js" as RelativeDate

Item {
    id: root
    width: 940
    // tall enough for all 19 mapping rows, so that every control can be clicked
    height: 1500

    // Counts the key presses that reach the rest of the window.
    Item {
        id: keyCatcher
        property int presses: 0
        Keys.onPressed: ++presses
    }

    Component { id: win; MainWindow { width: 940; height: 640 } }
    Component { id: devices; DevicesView { anchors.fill: parent } }
    Component { id: setup; SetupView { anchors.fill: parent } }
    Component { id: feedback; FeedbackView { anchors.fill: parent } }
    Component { id: mapping; MappingView { anchors.fill: parent } }
    Component { id: panel; MenuBarPanel {} }
    Component { id: meter; RumbleMeter { width: 320 } }
    Component { id: preview; ControllerPreview { width: 360; height: 200 } }

    TestCase {
        name: "Views"
        when: windowShown

        function init() {
            // a binding that fails or a type error fails the test
            failOnWarning(/./);
            host.reset();
            app.reset();
            keyCatcher.presses = 0;
            keyCatcher.forceActiveFocus();
            root.Window.window.requestActivate();
            tryVerify(() => root.Window.active);
        }

        // The item at an objectName path below `item`; a number picks a repeater's item.
        function find(item, path) {
            for (const name of path.split("/").filter((name) => name.length > 0))
                item = /^[0-9]+$/.test(name) ? item.itemAt(Number(name)) : findChild(item, name);
            return item;
        }

        function apply(changes) {
            for (const key in changes)
                (key === "hasTray" ? app : host)[key] = changes[key];
        }

        function client(name, player, stale, buttons) {
            return host.makeClient(name, player, stale, host.makeState(buttons || 0));
        }

        function test_relativeDates() {
            const now = new Date(2025, 5, 15, 12, 0, 0);
            const hour = 3600000, day = 24 * hour;
            // minutes and "yesterday": the devices' rows; ahead: the clock was set back
            const rows = [[200, "now"], [hour, "1 hour ago"], [3 * day, "3 days ago"],
                          [8 * day, "last week"], [70 * day, "2 months ago"],
                          [800 * day, "2 years ago"], [-2 * hour, "in 2 hours"], [NaN, ""]];
            for (const [ago, text] of rows)
                compare(RelativeDate.describe(new Date(now.getTime() - ago), now), text, text);
        }

        // A view worked as the user works it: the view, changes to the model before it is made,
        // and the steps, each a verb of `act` in test_actions and its arguments.
        function test_actions_data() {
            const one = { clients: [client("A", 1, false)] };
            const two = { clients: [client("A", 1, false), client("B", 2, true)] };
            const untrusted = { isAccessibilityTrusted: false };
            const noGamepads = { outputMode: "gamepad", isGamepadEntitled: false };
            const refused = { outputMode: "gamepad", gamepadProblem: "The system refused." };
            const paused = { pairingPausedUntil: "14:05", pairingPaused: true };
            const failed = { listenerState: "failed", listenerError: "Address already in use" };
            const noUhid = { gamepadDevice: "hid", isGamepadEntitled: false };
            const heard = { rumbleFromAudio: true, rumbleLow: 0.01 };
            const audioError = { rumbleFromAudio: true, audioRumbleProblem: "Broke." };
            const banner = "outputWarningBanner/bannerMessage";
            const gamepadStatus = "gamepadStatus/statusText";
            // An item follows the model: the view, the item's path, the changes, whether the item
            // shows before and after them, and a part of its text after. A reset brings it back.
            const follows = [
                ["empty state", win, "emptyState", one, true, false],
                ["cards", win, "controllerGrid", one, false, true],
                ["status line", win, "statusLine", one, true, true, "1 controller connected"],
                ["count", win, "section_controllers/countBadgeText", two, false, true, "2"],
                ["no badge elsewhere", win, "section_setup/countBadge", two, false, false],
                ["access banner", win, banner, untrusted, false, true, "Allow input access so"],
                ["no devices", devices, "noDevices", { trustedDevices: [host.makeDevice("A", 9)] },
                 true, false],
                ["page off", devices, "webPageRow", { webPageEnabled: false }, true, false],
                ["page, no address", devices, "webPageRow", { webPageAddress: "" }, true, false],
                ["pairing paused", devices, "pairingPausedNotice", paused, false, true,
                 "until 14:05"],
                ["panel, paused", panel, "panelPairingPaused", paused, false, true, "until 14:05"],
                ["port", setup, "listenerReady", { listenerPort: 5211 }, true, true, "port 5211"],
                ["network failed", setup, "listenerReady", failed, true, false],
                ["network error", setup, "listenerFailed", failed, false, true, "already in use"],
                ["advertisement problem", setup, "advertisementProblem",
                 { advertisementProblem: "No Avahi." }, false, true, "No Avahi."],
                ["uinput missing", setup, gamepadStatus, { isGamepadEntitled: false }, true, true,
                 "access to /dev/uinput"],
                ["uhid missing", setup, gamepadStatus, noUhid, true, true, "access to /dev/uhid"],
                ["no mapping without gamepad", setup, "sdlMappingRow", noUhid, false, false],
                ["test needs a controller", feedback, "testRumbleHint", one, true, false],
                ["live meter", feedback, "liveRow", { rumbleFromAudio: true }, false, true],
                ["sound heard", feedback, "soundSettingsLink", heard, false, false],
                ["sound error", feedback, "audioRumbleProblem", audioError, false, true, "Broke."],
                ["gamepad info", mapping, "gamepadInfo", { outputMode: "gamepad" }, false, true],
                ["panel status", panel, "panelStatus", one, true, true, "1 controller connected"],
                ["panel controllers", panel, "panelControllers", one, false, true],
                ["panel PIN", panel, "panelPin", { pin: "1234" }, true, true, "1234"],
                ["panel, no gamepads", panel, "panelAllowAccess", noGamepads, false, true],
                // access is there; it cannot help
                ["panel, no button for it", panel, "panelAllowAccess", refused, false, false],
            ].map(([tag, view, item, set, before, after, text]) => [tag, view, {},
                ["is", item, "visible", before], ["set", set], ["is", item, "visible", after],
                ...(text ? [["has", item, text]] : []), ["reset"],
                ["is", item, "visible", before]]);
            const slider = "gyroSlider/slider", knob = "leftStick/knob";
            const sidebar = (tag, keys, section) => [tag, win, {}, ["focus", "sectionList"],
                ["key", ...keys], ["is", "", "section", section],
                ["is", "sectionList", "activeFocus", true],
                ["is", `section_${section}/sectionFocusRing`, "visible", true]];
            const picker = (tag, view, name, keys, calls, ring) => [tag, view, {}, ["focus", name],
                ["key", ...keys], ["calls", calls],
                ["is", `${name}/segment_${ring}/segmentFocusRing`, "visible", true]];
            const gamepad = ["outputMode=gamepad"];
            // From the output picker, Tab walks the sidebar (one stop, on the chosen section's
            // row), then the section in reading order.
            const tabs = (section, trusted, ...order) => [`Tab order, ${section}`, win,
                { isAccessibilityTrusted: trusted, rumbleFromAudio: true,
                  trustedDevices: [host.makeDevice("Anna’s iPhone", 60)] },
                ["put", "", "section", section], ["tabs", "outputModePicker", ...order]];
            const captures = [...Array(19).keys()].map(i => "capture_" + i);
            const c0 = "capture_0", c3 = "capture_3", c8 = "capture_8";
            const record = (path) => [["menu", path, 0], ["calls", []],
                                      ["recording", path, true, 0, "Press a key…"]];
            const shift = ["setButtonAction(8,key,56,)"], esc = ["setButtonAction(0,key,53,)"];
            const mouse = ["setButtonAction(3,mouse,0,left)"];
            const rows = [
                ...follows,
                ["left shift, stored, ends recording, not seen", mapping, {}, ...record(c8),
                 ["press", c8, Qt.Key_Shift, 50], ["calls", shift],
                 ["recording", c8, false, 0, "Shift"], ["press", c8, Qt.Key_Q, 24],
                 ["calls", shift], ["recording", c8, false, 1, "Shift"]],
                ["caps lock passes through", mapping, {}, ...record(c0),
                 ["press", c0, Qt.Key_CapsLock, 66], ["calls", []],
                 ["recording", c0, true, 1, "Press a key…"], ["press", c0, Qt.Key_Escape, 9],
                 ["calls", esc], ["recording", c0, false, 1, "Esc"]],
                ["a key without a code", mapping, {}, ...record(c0), ["press", c0, Qt.Key_F35, 250],
                 ["calls", []], ["recording", c0, true, 0, "This key can't be mapped"],
                 ["press", c0, Qt.Key_Q, 24], ["calls", ["setButtonAction(0,key,12,)"]],
                 ["recording", c0, false, 0, "Q"]],
                ["a mouse button goes on recording", mapping, {}, ...record(c3), ["menu", c3, 2],
                 ["calls", mouse], ["recording", c3, true, 0, "Press a key…"], ["menu", c3, 0],
                 ["calls", mouse], ["recording", c3, false, 0, "Left Click"]],
                ["hiding the view ends recording", mapping, {}, ...record(c0),
                 ["put", "", "visible", false], ["put", "", "visible", true],
                 ["recording", c0, false, 0, "Space"]],
                ["by the keyboard", mapping, {}, ["focus", c0], ["key", Qt.Key_Space],
                 ["is", c0, "menu.opened", true], ["key", Qt.Key_Down, Qt.Key_Return],
                 ["is", c0, "menu.visible", false], ["recording", c0, true, 0, "Press a key…"],
                 ["calls", []]],
                ["clear", mapping, {}, ["menu", "capture_1", 6],
                 ["calls", ["setButtonAction(1,none,0,)"]],
                 ["recording", "capture_1", false, 0, "—"]],
                sidebar("down, down, up", [Qt.Key_Down, Qt.Key_Down, Qt.Key_Up], "mapping"),
                sidebar("down past the end", [Qt.Key_End, Qt.Key_Down], "setup"),
                sidebar("up past the start", [Qt.Key_Up], "controllers"),
                sidebar("home", [Qt.Key_End, Qt.Key_Home], "controllers"),
                picker("panel, right, return", panel, "panelOutputMode",
                       [Qt.Key_Right, Qt.Key_Return], gamepad, "gamepad"),
                picker("stops at the end", win, "outputModePicker",
                       [Qt.Key_Right, Qt.Key_Right, Qt.Key_Enter], gamepad, "gamepad"),
                picker("right then left", win, "outputModePicker",
                       [Qt.Key_Right, Qt.Key_Left, Qt.Key_Space], ["outputMode=keyboardMouse"],
                       "keyboardMouse"),
                // the same card shows the new snapshot (no rebuild 30 times a second)
                ["cards in place", win, one, ["put", "cards/0", "objectName", "kept"],
                 ["set", { clients: [client("A", 1, true, 1)] }],
                 ["is", "cards/0", "objectName", "kept"],
                 ["is", "cards/0", "client.isStale", true]],
                // the button fixes what the banner names: gamepad access, then input access
                ["banner", win,
                 { outputMode: "gamepad", isGamepadEntitled: false, isAccessibilityTrusted: false },
                 ["is", "bannerButton", "text", "Use Keyboard & Mouse"], ["click", "bannerButton"],
                 // the picker follows the model
                 ["is", "segment_keyboardMouse", "checked", true],
                 ["is", "bannerButton", "text", "Allow Access…"], ["click", "bannerButton"],
                 ["calls", ["outputMode=keyboardMouse", "requestAccessibility()"]]],
                ["sections and quit", win, {}, ["click", "section_setup"],
                 ["is", "", "section", "setup"], ["is", "detail", "item.title", "Setup"],
                 ["set", { hasTray: false }], ["click", "quitButton"], ["calls", [], ["quit()"]]],
                ["devices", devices,
                 { trustedDevices: [host.makeDevice("Anna’s iPhone", 310),
                                    host.makeDevice("Ben’s iPhone", 26 * 3600)] },
                 ["is", "deviceRows/0/lastConnected", "text", "Last connected 5 minutes ago"],
                 ["is", "deviceRows/1/lastConnected", "text", "Last connected yesterday"],
                 // the row stays until the model's list changes
                 ["click", "deviceRows/1/forgetButton"], ["is", "deviceRows", "count", 2],
                 ["click", "newPinButton"], ["click", "webPageSwitch"],
                 ["is", "webPageAddress", "text", "http://192.168.1.20:41234/"],
                 // 26 bytes at level M take a version 2 code.
                 ["is", "webPageQr", "modules", 25], ["set", { webPageAddress: "" }],
                 ["is", "webPageQr", "modules", 0],
                 ["calls", ["forget(DEVICE-Ben’s iPhone)", "regeneratePIN()",
                            "webPageEnabled=false"]]],
                ["setup", setup, { isAccessibilityTrusted: false, isGamepadEntitled: false },
                 ["click", "allowAccessButton"], ["click", "allowGamepadAccessButton"],
                 ["set", { isAccessibilityTrusted: true, isGamepadEntitled: true }],
                 ["is", "accessibilityStatus/statusText", "text", "Input access is on."],
                 ["click", "segment_hid"], ["is", "sdlMappingText", "text", host.sdlMapping],
                 ["click", "copySdlMapping"], ["is", "copySdlMapping", "text", "Copied"],
                 ["calls", ["requestAccessibility()", "requestAccessibility()",
                            "gamepadDevice=hid"]]],
                ["feedback", feedback, {}, ["is", "testRumbleButton", "enabled", false],
                 ["set", one], ["is", "testRumbleButton", "enabled", true],
                 ["click", "testRumbleButton"],
                 ["calls", ["testRumble()"]], ["click", "audioRumbleSwitch"],
                 // the link is a button in the Tab chain
                 ["focus", "soundSettingsLink"], ["key", Qt.Key_Space],
                 // clicking the switch's label toggles it too
                 ["click", "audioRumbleLabel"],
                 ["calls", ["testRumble()", "rumbleFromAudio=true",
                            "openPrivacySettings(Privacy_ScreenCapture)",
                            "rumbleFromAudio=false"]]],
                // shown clamped, and written only when the user moves it
                ["out of range", feedback, { gyroSpeed: 5000 }, ["is", slider, "value", 3000],
                 ["calls", []], ["call", slider, "decrease"], ["call", slider, "moved"],
                 ["calls", ["gyroSpeed=2999.9"]]],
                ["meter", meter, {}, ["put", "", "low", 0.5],
                 ["is", "", "accessibleValue", "Heavy 50 percent, sharp 0 percent"],
                 ["is", "bar_low", "width", 134], ["is", "bar_high", "width", 0],
                 ["put", "", "low", 0.379], ["put", "", "high", 1],
                 ["is", "", "accessibleValue", "Heavy 37 percent, sharp 100 percent"]],
                ["presets and the stick picker", mapping, {},
                 ["is", "capture_0", "buttonName", "South face button"], ["click", "preset_retro"],
                 ["is", "leftStickPicker", "currentText", "Arrow Keys"],
                 ["is", "rightStickPicker", "currentText", "Nothing"],
                 ["is", "capture_0", "actionLabel", "Z"],
                 // as the popup does: set the index, breaking its binding, then report the choice
                 ["put", "leftStickPicker", "currentIndex", 4],
                 ["call", "leftStickPicker", "activated", 4],
                 // after the user's own choice the picker still follows the model
                 ["click", "preset_shooter"], ["is", "leftStickPicker", "currentText", "W A S D"],
                 ["is", "capture_0", "actionLabel", "Space"],
                 // the view hands the preset to the model; pickers and sliders do not echo it back
                 ["calls", ["applyPreset(retro)", "leftStickAction=scroll",
                            "applyPreset(shooter)"]]],
                // dpadLeft (bit 12) before south (bit 0) in the word, A first in the text;
                // (1, 1) moves the knob right and up by 0.31 of the 60-point stick
                ["preview", preview, {}, ["is", "", "accessibleValue", ""],
                 ["put", "", "controllerState", host.makeState(1 << 12 | 1, 1, 1, 0, 0, 1, 0)],
                 ["is", "", "Accessible.description", "A, \u2190"], ["is", knob, "x", 37.2],
                 ["is", knob, "y", 0], ["is", "leftTrigger/fill", "width", 72],
                 ["is", "rightTrigger/fill", "width", 0], ["put", "", "isStale", true],
                 ["is", "", "accessibleValue", "Paused, no signal"],
                 // below 120 points high, no labels and the small badge; the drawing keeps its
                 // aspect ratio (in a wide box the height decides, in a tall one the width)
                 ["put", "", "width", 500], ["put", "", "height", 119],
                 ["is", "drawing", "width", 214.2], ["is", "drawing", "height", 119],
                 ["labels", "drawing", 0], ["is", "staleBadge", "visible", false],
                 ["is", "staleBadgeSmall", "visible", true], ["put", "", "width", 216],
                 ["put", "", "height", 300], ["is", "drawing", "width", 216],
                 // LB, RB, the four face buttons, LT, RT, and the five icons
                 ["is", "drawing", "height", 120], ["labels", "drawing", 13],
                 ["is", "staleBadge", "visible", true],
                 ["is", "staleBadgeSmall", "visible", false]],
                ["panel", panel, {}, ["is", "headerSymbol", "symbol", "gamecontroller"],
                 ["set", one], ["is", "headerSymbol", "symbol", "gamecontroller.fill"],
                 ["set", { isAccessibilityTrusted: false }], ["click", "panelAllowAccess"],
                 ["click", "panelNewPin"], ["click", "segment_gamepad"],
                 ["click", "panelAudioSwitch"], ["click", "openWindowButton"],
                 ["click", "quitButton"],
                 // and the platform's Quit shortcut while the panel's window has the focus
                 ["keys", "Ctrl+Q"], ["key", Qt.Key_Escape],
                 ["calls", ["requestAccessibility()", "regeneratePIN()", "outputMode=gamepad",
                            "rumbleFromAudio=true"],
                  ["openMainWindow()", "quit()", "quit()", "closePanel()"]]],
                tabs("controllers", false, "section_controllers", "bannerButton"),
                tabs("mapping", true, "section_mapping", "preset_shooter", "preset_retro",
                     "leftStickPicker", "rightStickPicker", "slider", ...captures),
                tabs("feedback", true, "section_feedback", "audioRumbleSwitch", "slider",
                     "soundSettingsLink", "slider"),
                tabs("devices", true, "section_devices", "newPinButton", "webPageSwitch",
                     "forgetButton"),
                tabs("setup", false, "section_setup", "allowAccessButton", "gamepadDevicePicker"),
                ["Tab order, panel", panel,
                 { isAccessibilityTrusted: false, rumbleFromAudio: true },
                 ["tabs", "panelNewPin", "panelOutputMode", "panelAudioSwitch", "panelAllowAccess",
                  "openWindowButton", "quitButton"]],
            ];
            return rows.map(([tag, view, set, ...steps]) => ({ tag, view, set, steps }));
        }

        function test_actions(data) {
            apply(data.set);
            host.resetCalls();
            const view = createTemporaryObject(data.view, root);
            waitForRendering(view);
            // visible texts and icons drawn below an item
            const labelsShown = (item) => Array.from(item.children).reduce((shown, child) =>
                shown + labelsShown(child) + (child.visible && child.text ? 1 : 0), 0);
            const act = {
                click: (path) => mouseClick(find(view, path)),
                focus: (path) => find(view, path).forceActiveFocus(Qt.TabFocusReason),
                key: (...keys) => keys.forEach((key) => keyClick(key)),
                keys: (sequence) => keySequence(sequence),
                set: (changes) => apply(changes),
                put: (path, name, value) => find(view, path)[name] = value,
                call: (path, name, ...args) => find(view, path)[name](...args),
                is: (path, name, value) => {
                    const keys = name.split("."), last = keys.pop();
                    const item = keys.reduce((item, key) => item[key], find(view, path));
                    if (typeof value === "number")
                        tryVerify(() => Math.abs(item[last] - value) < 0.001, 1000,
                                  `${path} ${name} should be ${value}`);
                    else
                        tryCompare(item, last, value, 1000, path);
                },
                labels: (path, count) => compare(labelsShown(find(view, path)), count),
                // a capture's menu item chosen by mouse; the focus goes back to the window
                menu: (path, index) => {
                    const menu = find(view, path).menu;
                    mouseClick(find(view, path));
                    tryCompare(menu, "opened", true);
                    mouseClick(menu.itemAt(index));
                    tryCompare(menu, "visible", false);
                    keyCatcher.forceActiveFocus();
                },
                press: (path, key, code) => testKeys.press(find(view, path), key, code,
                                                           key === Qt.Key_Shift ? Qt.ShiftModifier
                                                                                : 0),
                recording: (path, recording, presses, label) => {
                    const capture = find(view, path);
                    compare(capture.isRecording, recording);
                    compare(keyCatcher.presses, presses);
                    compare(findChild(capture, "captureLabel").text, label);
                    const name = recording ? "recording: press a key" : "currently " + label;
                    compare(capture.Accessible.name, capture.buttonName + ", " + name);
                },
                // Tab from `start` walks `order` and comes back round to `start`; Shift+Tab walks
                // back, and the control it reaches is scrolled into view
                tabs: (start, ...order) => {
                    const named = (item) => item.objectName || named(item.parent);
                    find(view, start).forceActiveFocus(Qt.TabFocusReason);
                    const forward = [];
                    for (let i = 0; i <= order.length; ++i) {
                        keyClick(Qt.Key_Tab);
                        forward.push(named(root.Window.activeFocusItem));
                    }
                    compare(forward, order.concat([start]));
                    keyClick(Qt.Key_Backtab);
                    const focused = root.Window.activeFocusItem;
                    compare(named(focused), order[order.length - 1]);
                    const y = focused.mapToItem(view, 0, 0).y;
                    verify(y >= 0 && y + focused.height <= view.height, "at y " + y);
                },
                has: (path, text) => verify(find(view, path).text.includes(text), path),
                reset: () => [host, app].forEach((fake) => fake.reset()),
                calls: (calls, appCalls) => {
                    tryCompare(host, "calls", calls);
                    compare(app.calls, appCalls || []);
                },
            };
            for (const [verb, ...args] of data.steps)
                act[verb](...args);
        }
    }
}
