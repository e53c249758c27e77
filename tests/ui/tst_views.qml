import QtQuick
import QtTest
import Jolto
import "qrc:/qt/qml/Jolto/RelativeDate.js" as RelativeDate

// The views against the fake model, with the mouse and without it.
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

    Component { id: windowComponent; MainWindow { width: 940; height: 640 } }
    Component { id: devicesComponent; DevicesView { anchors.fill: parent } }
    Component { id: setupComponent; SetupView { anchors.fill: parent } }
    Component { id: feedbackComponent; FeedbackView { anchors.fill: parent } }
    Component { id: mappingComponent; MappingView { anchors.fill: parent } }
    Component { id: panelComponent; MenuBarPanel {} }
    Component { id: meterComponent; RumbleMeter { width: 320 } }
    Component { id: previewComponent; ControllerPreview {} }

    TestCase {
        name: "Views"
        when: windowShown

        function init() {
            host.reset();
            app.reset();
            keyCatcher.presses = 0;
            keyCatcher.forceActiveFocus();
            root.Window.window.requestActivate();
            tryVerify(() => root.Window.active);
        }

        function create(component, properties) {
            const view = createTemporaryObject(component, root, properties || {});
            verify(view);
            waitForRendering(view);
            return view;
        }

        function client(name, player, stale, buttons) {
            return host.makeClient(name, player, stale, host.makeState(buttons || 0));
        }

        function statusText(view, row) {
            return findChild(findChild(view, row), "statusText").text;
        }

        // Opens a capture button's menu and picks the item at `index`.
        function choose(capture, index) {
            mouseClick(capture);
            tryCompare(capture.menu, "opened", true);
            mouseClick(capture.menu.itemAt(index));
            tryCompare(capture.menu, "visible", false);
        }

        function test_relativeDates() {
            const now = new Date(2025, 5, 15, 12, 0, 0);
            const minute = 60000, hour = 60 * minute, day = 24 * hour;
            const rows = [[200, "now"], [5 * minute + 20000, "5 minutes ago"], [hour, "1 hour ago"],
                          [day + hour, "yesterday"], [3 * day, "3 days ago"], [8 * day, "last week"],
                          [70 * day, "2 months ago"], [800 * day, "2 years ago"],
                          // ahead of the clock (the clock was set back)
                          [-2 * hour, "in 2 hours"], [NaN, ""]];
            for (const [ago, text] of rows)
                compare(RelativeDate.describe(new Date(now.getTime() - ago), now), text, text);
        }

        function test_controllersEmptyStateCardsAndBadge() {
            host.pin = "0719";
            host.hostName = "Den <PC> %2";
            const window = create(windowComponent);
            const empty = findChild(window, "emptyState");
            const grid = findChild(window, "controllerGrid");
            const badge = findChild(findChild(window, "section_controllers"), "countBadge");
            verify(empty.visible && !grid.visible && !badge.visible);
            const description = findChild(window, "emptyDescription").text;
            // the name is escaped, and filled in one pass: its "%2" is no place for the PIN
            verify(description.indexOf("“Den &lt;PC&gt; %2”") >= 0, description);
            verify(description.indexOf("<b>0719</b>") >= 0, description);

            host.clients = [client("A", 1, false)];
            verify(!empty.visible && grid.visible && badge.visible);
            compare(findChild(window, "statusLine").text, "1 controller connected");
            const card = findChild(window, "cards").itemAt(0);
            host.clients = [client("A", 1, true, 1)];
            // the same card shows the new snapshot (no rebuild 30 times a second)
            compare(findChild(window, "cards").itemAt(0), card);
            compare(card.client.isStale, true);
            host.clients = [client("A", 1, true), client("B", 2, false)];
            compare(findChild(window, "cards").count, 2);
            compare(findChild(window, "countBadgeText").text, "2");
            verify(!findChild(findChild(window, "section_setup"), "countBadge").visible);
            host.clients = [];
            verify(empty.visible && !badge.visible);
        }

        function test_warningBannerActions() {
            host.outputMode = "gamepad";
            host.isGamepadEntitled = false;
            host.isAccessibilityTrusted = false;
            host.resetCalls();
            const window = create(windowComponent);
            const banner = findChild(window, "outputWarningBanner");
            const button = findChild(banner, "bannerButton");
            compare(findChild(banner, "bannerMessage").text,
                    "Virtual gamepads need access to /dev/uinput. Use Keyboard & Mouse.");
            compare(button.text, "Use Keyboard & Mouse");
            mouseClick(button);
            compare(host.calls, ["outputMode=keyboardMouse"]);
            // the picker follows the model
            verify(findChild(window, "segment_keyboardMouse").checked);
            // now the keyboard warning of the untrusted host
            compare(findChild(banner, "bannerMessage").text,
                    "Allow input access so button presses reach your games.");
            compare(button.text, "Allow Access…");
            mouseClick(button);
            compare(host.calls, ["outputMode=keyboardMouse", "requestAccessibility()"]);
            host.isAccessibilityTrusted = true;
            verify(!banner.visible);
        }

        function test_sectionsAndQuitWithoutTray() {
            const window = create(windowComponent);
            mouseClick(findChild(window, "section_setup"));
            compare(window.section, "setup");
            compare(findChild(window, "detail").item.title, "Setup");
            const quit = findChild(window, "quitButton");
            verify(!quit.visible);
            app.hasTray = false;
            verify(quit.visible);
            mouseClick(quit);
            compare(app.quitCalls, 1);
        }

        function test_devicesListForgetAndNewPin() {
            const view = create(devicesComponent);
            verify(findChild(view, "noDevices").visible);
            host.trustedDevices = [host.makeDevice("Anna’s iPhone", 5 * 60 + 10),
                                   host.makeDevice("Ben’s iPhone", 26 * 3600)];
            verify(!findChild(view, "noDevices").visible);
            const rows = findChild(view, "deviceRows");
            compare(rows.count, 2);
            compare(findChild(rows.itemAt(0), "lastConnected").text,
                    "Last connected 5 minutes ago");
            compare(findChild(rows.itemAt(1), "lastConnected").text, "Last connected yesterday");
            mouseClick(findChild(rows.itemAt(1), "forgetButton"));
            // the row stays until the model's list changes
            compare(rows.count, 2);
            mouseClick(findChild(view, "newPinButton"));
            compare(host.calls, ["forget(DEVICE-Ben’s iPhone)", "regeneratePIN()"]);
        }

        function test_controllerPageAddressQrCodeAndSwitch() {
            const view = create(devicesComponent);
            const row = findChild(view, "webPageRow");
            verify(row.visible);
            compare(findChild(view, "webPageAddress").text, "http://192.168.1.20:41234/");
            // 26 bytes at level M take a version 2 code.
            compare(findChild(view, "webPageQr").modules, 25);
            mouseClick(findChild(view, "webPageSwitch"));
            verify(!host.webPageEnabled);
            verify(!row.visible);
            host.webPageEnabled = true;
            host.webPageAddress = "";
            verify(!row.visible);
            compare(findChild(view, "webPageQr").modules, 0);
        }

        function test_pairingPauseNotice_data() {
            return [{ tag: "devices", component: devicesComponent, notice: "pairingPausedNotice" },
                    { tag: "panel", component: panelComponent, notice: "panelPairingPaused" }];
        }

        function test_pairingPauseNotice(data) {
            const notice = findChild(create(data.component), data.notice);
            verify(!notice.visible);
            host.pairingPausedUntil = "14:05";
            host.pairingPaused = true;
            verify(notice.visible);
            verify(notice.text.indexOf("until 14:05") >= 0, notice.text);
            verify(notice.text.indexOf("New PIN") >= 0, notice.text);
            host.pairingPaused = false;
            verify(!notice.visible);
        }

        function test_setupNetworkStatus() {
            const view = create(setupComponent);
            compare(findChild(view, "listenerReady").text, "Listening on UDP port 52110");
            verify(!findChild(view, "advertisementProblem").visible);
            host.advertisementProblem = "The Avahi daemon is not running.";
            verify(findChild(view, "advertisementProblem").visible);
            host.listenerState = "failed";
            host.listenerError = "Address already in use";
            verify(!findChild(view, "listenerReady").visible);
            compare(findChild(view, "listenerFailed").text, "Address already in use");
        }

        function test_setupAccessRows() {
            host.isAccessibilityTrusted = false;
            const view = create(setupComponent);
            const allow = findChild(view, "allowAccessButton");
            mouseClick(allow);
            compare(host.calls, ["requestAccessibility()"]);
            host.isAccessibilityTrusted = true;
            verify(!allow.visible);
            compare(statusText(view, "accessibilityStatus"), "Input access is on.");
            // Input access alone is not all the helper gives.
            const allowGamepads = findChild(view, "allowGamepadAccessButton");
            verify(!allowGamepads.visible);
            host.isGamepadEntitled = false;
            mouseClick(allowGamepads);
            compare(host.calls, ["requestAccessibility()", "requestAccessibility()"]);
            compare(statusText(view, "gamepadStatus"),
                    "JOLTO Host has no access to /dev/uinput, so it can't create virtual gamepads.");
        }

        function test_sdlMappingOnlyForTheHidGamepadWhileAvailable() {
            const view = create(setupComponent);
            const row = findChild(view, "sdlMappingRow");
            verify(!row.visible);
            mouseClick(findChild(view, "segment_hid"));
            compare(host.gamepadDevice, "hid");
            verify(row.visible);
            compare(findChild(view, "sdlMappingText").text, host.sdlMapping);
            mouseClick(findChild(view, "copySdlMapping"));
            compare(findChild(view, "copySdlMapping").text, "Copied");
            host.isGamepadEntitled = false;
            verify(!row.visible);
            compare(statusText(view, "gamepadStatus"),
                    "JOLTO Host has no access to /dev/uhid, so it can't create virtual gamepads.");
        }

        function test_testRumbleNeedsAController() {
            const view = create(feedbackComponent);
            const button = findChild(view, "testRumbleButton");
            const hint = findChild(view, "testRumbleHint");
            verify(!button.enabled && hint.visible);
            mouseClick(button);
            wait(50);
            compare(host.calls, []);
            host.clients = [client("A", 1, false)];
            verify(button.enabled && !hint.visible);
            mouseClick(button);
            tryCompare(host, "calls", ["testRumble()"]);
        }

        function test_audioRumbleRows() {
            const view = create(feedbackComponent);
            const live = findChild(view, "liveRow");
            const link = findChild(view, "soundSettingsLink");
            const problem = findChild(view, "audioRumbleProblem");
            verify(!live.visible && !link.visible && !problem.visible);
            mouseClick(findChild(view, "audioRumbleSwitch"));
            compare(host.calls, ["rumbleFromAudio=true"]);
            // nothing heard yet: the meter, and the way to the sound settings
            verify(live.visible && link.visible);
            // the link is a button in the Tab chain
            link.forceActiveFocus(Qt.TabFocusReason);
            keyClick(Qt.Key_Space);
            compare(host.calls[1], "openPrivacySettings(Privacy_ScreenCapture)");
            host.setRumbleLevels(0.01, 0);
            verify(!link.visible);
            host.audioRumbleProblem = "Couldn't connect to the sound server (error -1).";
            compare(problem.text, "Couldn't connect to the sound server (error -1).");
            verify(problem.visible);
            // clicking the switch's label toggles it too
            mouseClick(findChild(view, "audioRumbleLabel"));
            compare(host.rumbleFromAudio, false);
        }

        function test_sliderShowsAnOutOfRangeValueClampedWithoutWritingIt() {
            const view = create(feedbackComponent);
            const gyro = findChild(findChild(view, "gyroSlider"), "slider");
            host.gyroSpeed = 5000;
            compare(gyro.value, 3000);
            host.resetCalls();
            gyro.decrease();
            gyro.moved();
            compare(host.calls.length, 1);
            verify(host.gyroSpeed <= 3000 && host.gyroSpeed >= 300);
        }

        function test_meterValueAndBars() {
            const meter = create(meterComponent, { low: 0.5, high: 0 });
            compare(meter.accessibleValue, "Heavy 50 percent, sharp 0 percent");
            tryCompare(findChild(meter, "bar_low"), "width", findChild(meter, "track_low").width / 2);
            compare(findChild(meter, "bar_high").width, 0);
            meter.low = 0.379;
            meter.high = 1;
            compare(meter.accessibleValue, "Heavy 37 percent, sharp 100 percent");
        }

        function test_presetsUpdateTheRowsWithoutWritingBack() {
            const view = create(mappingComponent);
            const left = findChild(view, "leftStickPicker");
            const south = findChild(view, "capture_0");
            const info = findChild(view, "gamepadInfo");
            verify(!info.visible);
            host.outputMode = "gamepad";
            verify(info.visible);
            compare(left.currentText, "W A S D");
            compare(south.actionLabel, "Space");
            mouseClick(findChild(view, "preset_retro"));
            compare(left.currentText, "Arrow Keys");
            compare(findChild(view, "rightStickPicker").currentText, "Nothing");
            compare(south.actionLabel, "Z");
            mouseClick(findChild(view, "preset_shooter"));
            compare(south.actionLabel, "Space");
            // the view hands the preset to the model; pickers and sliders do not echo it back
            compare(host.calls, ["outputMode=gamepad", "applyPreset(retro)",
                                 "applyPreset(shooter)"]);
        }

        function test_stickPickerWritesOnlyTheUsersChoiceAndKeepsFollowing() {
            const left = findChild(create(mappingComponent), "leftStickPicker");
            left.activated(left.indexOfValue("scroll"));
            compare(host.calls, ["leftStickAction=scroll"]);
            host.applyPreset("shooter");
            compare(left.currentText, "W A S D");
        }

        // Each step: a key press (Qt key, X11 code), then the calls so far, whether it still
        // records, how many presses reached the rest of the window, and the label if given.
        function test_recording_data() {
            const shift = "setButtonAction(8,key,56,)";
            return [
                { tag: "left shift is stored, ends recording, and is not seen", capture: 8,
                  steps: [[Qt.Key_Shift, 50, [shift], false, 0], [Qt.Key_Q, 24, [shift], false, 1]] },
                { tag: "caps lock passes through", capture: 0,
                  steps: [[Qt.Key_CapsLock, 66, [], true, 1],
                          [Qt.Key_Escape, 9, ["setButtonAction(0,key,53,)"], false, 1]] },
                { tag: "a key without a code is refused", capture: 0,
                  steps: [[Qt.Key_F35, 250, [], true, 0, "This key can't be mapped"],
                          [Qt.Key_Q, 24, ["setButtonAction(0,key,12,)"], false, 0, "Q"]] },
            ];
        }

        function test_recording(data) {
            const capture = findChild(create(mappingComponent), "capture_" + data.capture);
            choose(capture, 0);
            compare(findChild(capture, "captureLabel").text, "Press a key…");
            // the menu took the focus; give it back to the rest of the window
            keyCatcher.forceActiveFocus();
            for (const [key, scan, calls, recording, passed, label] of data.steps) {
                testKeys.press(capture, key, scan, key === Qt.Key_Shift ? Qt.ShiftModifier : 0);
                compare(host.calls, calls);
                compare(capture.isRecording, recording);
                compare(keyCatcher.presses, passed);
                if (label)
                    compare(findChild(capture, "captureLabel").text, label);
            }
        }

        function test_mouseItemDoesNotEndRecording() {
            const capture = findChild(create(mappingComponent), "capture_3");
            choose(capture, 0);
            choose(capture, 2);
            compare(host.calls, ["setButtonAction(3,mouse,0,left)"]);
            verify(capture.isRecording);
            compare(capture.menu.itemAt(0).text, "Stop Recording");
            choose(capture, 0);
            verify(!capture.isRecording);
        }

        function test_clearStoresNoneAndShowsADash() {
            const capture = findChild(create(mappingComponent), "capture_1");
            choose(capture, 6);
            compare(host.calls, ["setButtonAction(1,none,0,)"]);
            compare(capture.actionLabel, "\u2014");
            compare(String(findChild(capture, "captureLabel").color), String(Theme.secondary));
        }

        function test_recordingStopsWhenTheControlLeavesTheScreen() {
            const view = create(mappingComponent);
            const capture = findChild(view, "capture_0");
            capture.startRecording();
            view.visible = false;
            verify(!capture.isRecording);
            view.visible = true;
            testKeys.press(capture, Qt.Key_Q, 24);
            compare(host.calls, []);
        }

        function test_previewValueListsPressedButtonsInOrder() {
            const preview = create(previewComponent, { width: 360, height: 200 });
            compare(preview.accessibleValue, "");
            // dpadLeft (bit 12) before south (bit 0) in the word, A first in the text
            preview.controllerState = host.makeState((1 << 12) | (1 << 0));
            compare(preview.accessibleValue, "A, \u2190");
            compare(preview.Accessible.description, "A, \u2190");
            preview.isStale = true;
            compare(preview.accessibleValue, "Paused, no signal");
        }

        // Visible texts and icons drawn on the controller (not the staleness badge).
        function labelsShown(item) {
            let shown = 0;
            for (let i = 0; i < item.children.length; ++i) {
                const child = item.children[i];
                if (child.text !== undefined && child.text.length > 0 && child.visible)
                    ++shown;
                shown += labelsShown(child);
            }
            return shown;
        }

        // Below 120 points high, no labels and the small badge; the drawing keeps its aspect
        // ratio inside the offered space (a wide box: the height decides; a tall one: the width).
        function test_previewSize_data() {
            return [{ tag: "119 high", width: 1.8 * 119, height: 119, drawn: [214.2, 119], labels: 0 },
                    // LB, RB, the four face buttons, LT, RT, and the five icons
                    { tag: "120 high", width: 1.8 * 120, height: 120, drawn: [216, 120], labels: 13 },
                    { tag: "wide", width: 500, height: 100, drawn: [180, 100], labels: 0 },
                    { tag: "tall", width: 180, height: 300, drawn: [180, 100], labels: 0 }];
        }

        function test_previewSize(data) {
            const preview = create(previewComponent, { width: data.width, height: data.height,
                                                       isStale: true });
            const drawing = findChild(preview, "drawing");
            fuzzyCompare(drawing.width, data.drawn[0], 0.001);
            compare(drawing.height, data.drawn[1]);
            compare(labelsShown(drawing), data.labels);
            const large = drawing.height >= 120;
            compare(findChild(preview, "staleBadge").visible, large);
            compare(findChild(preview, "staleBadgeSmall").visible, !large);
        }

        function test_previewSticksAndTriggersFollowTheState() {
            const preview = create(previewComponent, { width: 360, height: 200 });
            const knob = findChild(findChild(preview, "leftStick"), "knob");
            const area = 0.3 * 200;
            fuzzyCompare(knob.x + knob.width / 2, area / 2, 0.001);
            fuzzyCompare(knob.y + knob.height / 2, area / 2, 0.001);
            // (1, 1) moves the knob right and up by 0.31 of the stick area
            preview.controllerState = host.makeState(0, 1, 1, 0, 0, 1, 0);
            fuzzyCompare(knob.x + knob.width / 2, area / 2 + 0.31 * area, 0.001);
            fuzzyCompare(knob.y + knob.height / 2, area / 2 - 0.31 * area, 0.001);
            compare(findChild(findChild(preview, "leftTrigger"), "fill").width, 0.2 * 360);
            compare(findChild(findChild(preview, "rightTrigger"), "fill").width, 0);
        }

        function test_panelHeaderAndControllerRows() {
            const panel = create(panelComponent);
            compare(findChild(panel, "headerSymbol").symbol, "gamecontroller");
            compare(findChild(panel, "panelStatus").text, "Ready — waiting for a controller");
            verify(!findChild(panel, "panelControllers").visible);
            host.clients = [client("A", 1, false)];
            compare(findChild(panel, "headerSymbol").symbol, "gamecontroller.fill");
            verify(findChild(panel, "panelControllers").visible);
        }

        function test_panelWarningAndItsButton() {
            host.isAccessibilityTrusted = false;
            const panel = create(panelComponent);
            const warning = findChild(panel, "panelWarning");
            const allow = findChild(panel, "panelAllowAccess");
            verify(warning.visible && allow.visible);
            mouseClick(allow);
            compare(host.calls, ["requestAccessibility()"]);
            host.isAccessibilityTrusted = true;
            host.isGamepadEntitled = false;
            host.outputMode = "gamepad";
            verify(warning.visible && allow.visible);
            host.isGamepadEntitled = true;
            host.gamepadProblem = "The system refused to create the virtual gamepad.";
            verify(warning.visible);
            verify(!allow.visible, "access is there; it cannot help");
            host.outputMode = "keyboardMouse";
            verify(!warning.visible);
        }

        function test_panelControlsWriteTheModel() {
            const panel = create(panelComponent);
            mouseClick(findChild(panel, "panelNewPin"));
            mouseClick(findChild(panel, "segment_gamepad"));
            mouseClick(findChild(panel, "panelAudioSwitch"));
            compare(host.calls, ["regeneratePIN()", "outputMode=gamepad", "rumbleFromAudio=true"]);
            host.pin = "1234";
            compare(findChild(panel, "panelPin").text, "1234");
        }

        function test_panelOpenWindowAndQuit() {
            const panel = create(panelComponent);
            mouseClick(findChild(panel, "openWindowButton"));
            compare(app.openMainWindowCalls, 1);
            mouseClick(findChild(panel, "quitButton"));
            compare(app.quitCalls, 1);
            // the platform's Quit shortcut, while the panel's window has the focus
            keySequence("Ctrl+Q");
            compare(app.quitCalls, 2);
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

        // From the output picker, Tab walks the sidebar (one stop, on the chosen section's row),
        // then the section in reading order, and comes back round to the picker; Shift+Tab walks
        // back. The panel from its first control, New PIN.
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
            const window = create(windowComponent, { height: 1500 });
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
        }

        function test_escapeClosesThePanel() {
            create(panelComponent);
            keyClick(Qt.Key_Escape);
            compare(app.closePanelCalls, 1);
        }
    }
}
