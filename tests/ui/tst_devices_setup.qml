import QtQuick
import QtTest
import Jolto
import "qrc:/qt/qml/Jolto/RelativeDate.js" as RelativeDate

Item {
    id: root
    width: 940
    height: 900

    Component {
        id: devicesComponent
        DevicesView { anchors.fill: parent }
    }
    Component {
        id: setupComponent
        SetupView { anchors.fill: parent }
    }

    TestCase {
        name: "DevicesAndSetup"
        when: windowShown

        function init() {
            host.reset();
        }

        function create(component) {
            const view = createTemporaryObject(component, root);
            verify(view);
            waitForRendering(view);
            return view;
        }

        function test_relativeDates() {
            const now = new Date(2025, 5, 15, 12, 0, 0);
            const ago = (ms) => new Date(now.getTime() - ms);
            const minute = 60000, hour = 60 * minute, day = 24 * hour;
            compare(RelativeDate.describe(ago(200), now), "now");
            compare(RelativeDate.describe(ago(5 * minute + 20000), now), "5 minutes ago");
            compare(RelativeDate.describe(ago(hour), now), "1 hour ago");
            compare(RelativeDate.describe(ago(day + hour), now), "yesterday");
            compare(RelativeDate.describe(ago(3 * day), now), "3 days ago");
            compare(RelativeDate.describe(ago(8 * day), now), "last week");
            compare(RelativeDate.describe(ago(70 * day), now), "2 months ago");
            compare(RelativeDate.describe(ago(800 * day), now), "2 years ago");
            // a date ahead of the clock (the clock was set back) reads as ahead
            compare(RelativeDate.describe(new Date(now.getTime() + 2 * hour), now), "in 2 hours");
            compare(RelativeDate.describe(new Date(NaN), now), "");
        }

        function test_devicesListAndForget() {
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
            compare(host.calls, ["forget(DEVICE-Ben’s iPhone)"]);
            // the row stays until the model's list changes
            compare(rows.count, 2);

            mouseClick(findChild(view, "newPinButton"));
            compare(host.calls[1], "regeneratePIN()");
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

        function test_pairingPauseNotice() {
            const view = create(devicesComponent);
            const notice = findChild(view, "pairingPausedNotice");
            verify(!notice.visible);
            host.pairingPausedUntil = "14:05";
            host.pairingPaused = true;
            verify(notice.visible);
            compare(notice.text, "Pairing is paused until 14:05 after too many wrong PINs. “New PIN” ends the pause.");
            host.pairingPaused = false;
            verify(!notice.visible);
        }

        function test_networkStatusAndAdvertisementProblem() {
            const view = create(setupComponent);
            compare(findChild(view, "listenerReady").text, "Listening on UDP port 52110");
            verify(!findChild(view, "advertisementProblem").visible);
            host.advertisementProblem = "The Avahi daemon is not running.";
            verify(findChild(view, "advertisementProblem").visible);

            host.listenerState = "failed";
            host.listenerError = "Address already in use";
            verify(!findChild(view, "listenerReady").visible);
            verify(findChild(view, "listenerFailed").visible);
            compare(findChild(view, "listenerFailed").text, "Address already in use");
        }

        function test_statusRowsAndTheirActions() {
            host.isAccessibilityTrusted = false;
            const view = create(setupComponent);
            const allow = findChild(view, "allowAccessButton");
            verify(allow.visible);
            mouseClick(allow);
            compare(host.calls, ["requestAccessibility()"]);
            host.isAccessibilityTrusted = true;
            verify(!allow.visible);
            compare(findChild(findChild(view, "accessibilityStatus"), "statusText").text,
                    "Input access is on.");
            // Input access alone is not all the helper gives.
            const allowGamepads = findChild(view, "allowGamepadAccessButton");
            verify(!allowGamepads.visible);
            host.isGamepadEntitled = false;
            verify(allowGamepads.visible);
            mouseClick(allowGamepads);
            compare(host.calls, ["requestAccessibility()", "requestAccessibility()"]);
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
            compare(findChild(findChild(view, "gamepadStatus"), "statusText").text,
                    "JOLTO Host has no access to /dev/uhid, so it can't create virtual gamepads.");
            host.gamepadDevice = "standard";
            compare(findChild(findChild(view, "gamepadStatus"), "statusText").text,
                    "JOLTO Host has no access to /dev/uinput, so it can't create virtual gamepads.");
        }
    }
}
