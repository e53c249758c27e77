import QtQuick
import QtTest
import Jolto

Item {
    id: root
    width: 330
    height: 700

    Component {
        id: panelComponent
        MenuBarPanel {}
    }

    TestCase {
        name: "MenuBarPanel"
        when: windowShown

        function init() {
            host.reset();
            app.reset();
        }

        function createPanel() {
            const panel = createTemporaryObject(panelComponent, root);
            verify(panel);
            waitForRendering(panel);
            return panel;
        }

        function test_headerAndControllerRows() {
            const panel = createPanel();
            compare(panel.width, 330);
            compare(findChild(panel, "headerSymbol").symbol, "gamecontroller");
            compare(findChild(panel, "panelStatus").text, "Ready — waiting for a controller");
            verify(!findChild(panel, "panelControllers").visible);

            host.clients = [host.makeClient("A", 1, false, host.makeState(0))];
            compare(findChild(panel, "headerSymbol").symbol, "gamecontroller.fill");
            verify(findChild(panel, "panelControllers").visible);
        }

        function test_warningButtonWhileAnAccessIsMissing() {
            host.isAccessibilityTrusted = false;
            const panel = createPanel();
            verify(findChild(panel, "panelWarning").visible);
            const allow = findChild(panel, "panelAllowAccess");
            verify(allow.visible);
            mouseClick(allow);
            compare(host.calls, ["requestAccessibility()"]);

            host.isAccessibilityTrusted = true;
            host.isGamepadEntitled = false;
            host.outputMode = "gamepad";
            verify(findChild(panel, "panelWarning").visible);
            verify(allow.visible);
            host.isGamepadEntitled = true;
            host.gamepadProblem = "The system refused to create the virtual gamepad.";
            verify(findChild(panel, "panelWarning").visible);
            verify(!allow.visible, "access is there; it cannot help");

            host.outputMode = "keyboardMouse";
            host.isAccessibilityTrusted = true;
            verify(!findChild(panel, "panelWarning").visible);
        }

        function test_pairingPauseNotice() {
            const panel = createPanel();
            const notice = findChild(panel, "panelPairingPaused");
            verify(!notice.visible);
            host.pairingPausedUntil = "14:05";
            host.pairingPaused = true;
            verify(notice.visible);
            verify(notice.text.indexOf("14:05") >= 0, notice.text);
            verify(notice.text.indexOf("New PIN") >= 0, notice.text);
            host.pairingPaused = false;
            verify(!notice.visible);
        }

        function test_pinModeAndAudioControlsWriteTheModel() {
            const panel = createPanel();
            mouseClick(findChild(panel, "panelNewPin"));
            mouseClick(findChild(panel, "segment_gamepad"));
            mouseClick(findChild(panel, "panelAudioSwitch"));
            compare(host.calls, ["regeneratePIN()", "outputMode=gamepad", "rumbleFromAudio=true"]);
            host.pin = "1234";
            compare(findChild(panel, "panelPin").text, "1234");
        }

        function test_openWindowAndQuit() {
            const panel = createPanel();
            mouseClick(findChild(panel, "openWindowButton"));
            compare(app.openMainWindowCalls, 1);
            mouseClick(findChild(panel, "quitButton"));
            compare(app.quitCalls, 1);
            // the platform's Quit shortcut, while the panel's window has the focus
            root.Window.window.requestActivate();
            tryVerify(() => root.Window.active);
            keySequence("Ctrl+Q");
            compare(app.quitCalls, 2);
        }
    }
}
