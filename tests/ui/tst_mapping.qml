import QtQuick
import QtTest
import Jolto

Item {
    id: root
    width: 940
    // tall enough for all 19 rows, so that every control can be clicked
    height: 1500

    // Counts the key presses that reach the rest of the window.
    Item {
        id: keyCatcher
        property int presses: 0
        focus: true
        Keys.onPressed: ++presses
    }

    Component {
        id: mappingComponent
        MappingView { anchors.fill: parent }
    }

    TestCase {
        name: "MappingView"
        when: windowShown

        // X11 key codes: evdev code + 8
        readonly property int scanLeftShift: 50
        readonly property int scanCapsLock: 66
        readonly property int scanEscape: 9
        readonly property int scanQ: 24

        function init() {
            host.reset();
            app.reset();
            keyCatcher.presses = 0;
            keyCatcher.forceActiveFocus();
        }

        function createView() {
            const view = createTemporaryObject(mappingComponent, root);
            verify(view);
            waitForRendering(view);
            return view;
        }

        function choose(capture, index) {
            mouseClick(capture);
            tryCompare(capture.menu, "opened", true);
            const item = capture.menu.itemAt(index);
            verify(item);
            mouseClick(item);
            tryCompare(capture.menu, "visible", false);
        }

        function test_infoLabelOnlyInGamepadMode() {
            const view = createView();
            const info = findChild(view, "gamepadInfo");
            verify(!info.visible);
            host.outputMode = "gamepad";
            verify(info.visible);
            host.outputMode = "keyboardMouse";
            verify(!info.visible);
        }

        function test_presetMatchingTheMappingWritesNothing() {
            const view = createView();
            mouseClick(findChild(view, "preset_shooter"));
            // the view hands the whole preset to the model and writes nothing else itself
            compare(host.calls, ["applyPreset(shooter)"]);
            compare(host.mappingWrites, 0);
        }

        function test_presetChangeUpdatesTheRowsWithoutWritingBack() {
            const view = createView();
            const left = findChild(view, "leftStickPicker");
            const south = findChild(view, "capture_0");
            compare(left.currentText, "W A S D");
            compare(south.actionLabel, "Space");

            mouseClick(findChild(view, "preset_retro"));
            compare(host.mappingWrites, 1);
            compare(left.currentText, "Arrow Keys");
            compare(findChild(view, "rightStickPicker").currentText, "Nothing");
            compare(south.actionLabel, "Z");
            // pickers and sliders that follow the model must not echo the change back
            compare(host.calls, ["applyPreset(retro)"]);
        }

        function test_stickPickerWritesOnlyTheUsersChoiceAndKeepsFollowing() {
            const view = createView();
            const left = findChild(view, "leftStickPicker");
            left.activated(left.indexOfValue("scroll"));
            compare(host.calls, ["leftStickAction=scroll"]);
            compare(host.leftStickAction, "scroll");
            // after the user's own choice the picker still follows the model
            host.applyPreset("shooter");
            compare(left.currentText, "W A S D");
        }

        function test_recordingLeftShiftStores56AndEnds() {
            const view = createView();
            const capture = findChild(view, "capture_8");
            choose(capture, 0);
            verify(capture.isRecording);
            compare(findChild(capture, "captureLabel").text, "Press a key…");
            // the menu took the focus; give it back to the rest of the window
            keyCatcher.forceActiveFocus();

            testKeys.press(capture, Qt.Key_Shift, scanLeftShift, Qt.ShiftModifier);
            compare(host.calls, ["setButtonAction(8,key,56,)"]);
            verify(!capture.isRecording);
            // the recorded press does not reach the rest of the window
            compare(keyCatcher.presses, 0);
            // and nothing after it is recorded
            testKeys.release(capture, Qt.Key_Shift, scanLeftShift);
            testKeys.press(capture, Qt.Key_Q, scanQ);
            compare(host.calls.length, 1);
            compare(keyCatcher.presses, 1);
        }

        function test_capsLockIsIgnoredAndRecordingGoesOn() {
            const view = createView();
            const capture = findChild(view, "capture_0");
            capture.startRecording();
            testKeys.press(capture, Qt.Key_CapsLock, scanCapsLock);
            verify(capture.isRecording);
            compare(host.calls, []);
            compare(keyCatcher.presses, 1);

            testKeys.press(capture, Qt.Key_Escape, scanEscape);
            compare(host.calls, ["setButtonAction(0,key,53,)"]);
            verify(!capture.isRecording);
        }

        function test_keyWithoutCodeSaysSoAndRecordingGoesOn() {
            const view = createView();
            const capture = findChild(view, "capture_0");
            capture.startRecording();
            testKeys.press(capture, Qt.Key_F35, 250);
            verify(capture.isRecording);
            compare(host.calls, []);
            compare(findChild(capture, "captureLabel").text, "This key can't be mapped");
            testKeys.press(capture, Qt.Key_Q, scanQ);
            compare(host.calls, ["setButtonAction(0,key,12,)"]);
            compare(findChild(capture, "captureLabel").text, "Q");
        }

        function test_mouseItemDoesNotEndRecording() {
            const view = createView();
            const capture = findChild(view, "capture_3");
            choose(capture, 0);
            verify(capture.isRecording);
            choose(capture, 2);
            compare(host.calls, ["setButtonAction(3,mouse,0,left)"]);
            verify(capture.isRecording);
            compare(capture.menu.itemAt(0).text, "Stop Recording");
            choose(capture, 0);
            verify(!capture.isRecording);
        }

        function test_clearStoresNoneAndShowsADash() {
            const view = createView();
            const capture = findChild(view, "capture_1");
            choose(capture, 6);
            compare(host.calls, ["setButtonAction(1,none,0,)"]);
            compare(capture.actionLabel, "\u2014");
            compare(String(findChild(capture, "captureLabel").color), String(Theme.secondary));
        }

        function test_recordingStopsWhenTheControlLeavesTheScreen() {
            const view = createView();
            const capture = findChild(view, "capture_0");
            capture.startRecording();
            view.visible = false;
            verify(!capture.isRecording);
            view.visible = true;
            testKeys.press(capture, Qt.Key_Q, scanQ);
            compare(host.calls, []);
        }
    }
}
