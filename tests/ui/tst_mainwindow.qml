import QtQuick
import QtTest
import Jolto

Item {
    id: root
    width: 940
    height: 640

    Component {
        id: windowComponent
        MainWindow { anchors.fill: parent }
    }

    TestCase {
        name: "MainWindow"
        when: windowShown

        function init() {
            host.reset();
            app.reset();
        }

        function createWindow() {
            const window = createTemporaryObject(windowComponent, root);
            verify(window);
            waitForRendering(window);
            return window;
        }

        function oneClient(name, player, stale) {
            return host.makeClient(name, player, stale, host.makeState(0));
        }

        function test_emptyStateThenOneCard() {
            host.pin = "0719";
            host.hostName = "Den <PC> %2";
            const window = createWindow();
            const empty = findChild(window, "emptyState");
            const grid = findChild(window, "controllerGrid");
            verify(empty.visible);
            verify(!grid.visible);
            const description = findChild(window, "emptyDescription").text;
            // filled in one pass: the "%2" of the host name is no place for the PIN
            verify(description.indexOf("“Den &lt;PC&gt; %2”") >= 0, description);
            verify(description.indexOf("<b>0719</b>") >= 0, description);

            host.clients = [oneClient("Anna’s iPhone", 1, false)];
            verify(!empty.visible);
            verify(grid.visible);
            compare(findChild(window, "cards").count, 1);
            compare(findChild(window, "statusLine").text, "1 controller connected");
        }

        function test_countBadgeOnlyWithControllers() {
            const window = createWindow();
            const row = findChild(window, "section_controllers");
            const badge = findChild(row, "countBadge");
            verify(!badge.visible);
            host.clients = [oneClient("A", 1, false), oneClient("B", 2, true)];
            verify(badge.visible);
            compare(findChild(row, "countBadgeText").text, "2");
            // no other section carries a badge
            verify(!findChild(findChild(window, "section_setup"), "countBadge").visible);
            host.clients = [];
            verify(!badge.visible);
        }

        function test_cardsUpdateInPlaceWhenASnapshotChanges() {
            host.clients = [oneClient("A", 1, false)];
            const window = createWindow();
            const card = findChild(window, "cards").itemAt(0);
            host.clients = [host.makeClient("A", 1, true, host.makeState(1))];
            // the same card shows the new snapshot (no rebuild 30 times a second)
            compare(findChild(window, "cards").itemAt(0), card);
            compare(card.client.isStale, true);
        }

        function test_accessibilityBanner() {
            host.isAccessibilityTrusted = false;
            const window = createWindow();
            const banner = findChild(window, "outputWarningBanner");
            verify(banner.visible);
            compare(findChild(banner, "bannerMessage").text,
                    "Allow input access so button presses reach your games.");
            const button = findChild(banner, "bannerButton");
            compare(button.text, "Allow Access…");
            mouseClick(button);
            compare(host.calls, ["requestAccessibility()"]);

            host.isAccessibilityTrusted = true;
            verify(!banner.visible);
        }

        function test_gamepadBannerSwitchesToKeyboardAndMouse() {
            host.outputMode = "gamepad";
            host.isGamepadEntitled = false;
            host.isAccessibilityTrusted = false;
            host.resetCalls();
            const window = createWindow();
            const banner = findChild(window, "outputWarningBanner");
            verify(banner.visible);
            compare(findChild(banner, "bannerMessage").text,
                    "Virtual gamepads need access to /dev/uinput. Use Keyboard & Mouse.");
            const button = findChild(banner, "bannerButton");
            compare(button.text, "Use Keyboard & Mouse");
            mouseClick(button);
            compare(host.calls, ["outputMode=keyboardMouse"]);
            // now the keyboard warning of the untrusted host
            verify(banner.visible);
            compare(button.text, "Allow Access…");
        }

        function test_outputPickerWritesTheChosenMode() {
            const window = createWindow();
            mouseClick(findChild(window, "segment_gamepad"));
            compare(host.calls, ["outputMode=gamepad"]);
            compare(findChild(window, "segment_gamepad").checked, true);
            compare(findChild(window, "segment_keyboardMouse").checked, false);
        }

        function test_sectionsSwitchTheDetailPane() {
            const window = createWindow();
            compare(window.section, "controllers");
            mouseClick(findChild(window, "section_setup"));
            compare(window.section, "setup");
            const detail = findChild(window, "detail");
            compare(detail.item.title, "Setup");
        }

        function test_quitOnlyWithoutTray() {
            const window = createWindow();
            const quit = findChild(window, "quitButton");
            verify(!quit.visible);
            app.hasTray = false;
            verify(quit.visible);
            mouseClick(quit);
            compare(app.quitCalls, 1);
        }
    }
}
