import QtQuick
import QtTest
import Jolto

Item {
    id: root
    width: 940
    height: 900

    Component {
        id: feedbackComponent
        FeedbackView { anchors.fill: parent }
    }
    Component {
        id: meterComponent
        RumbleMeter { width: 320 }
    }

    TestCase {
        name: "FeedbackView"
        when: windowShown

        function init() {
            host.reset();
        }

        function createView() {
            const view = createTemporaryObject(feedbackComponent, root);
            verify(view);
            waitForRendering(view);
            return view;
        }

        function test_testRumbleNeedsAController() {
            const view = createView();
            const button = findChild(view, "testRumbleButton");
            const hint = findChild(view, "testRumbleHint");
            verify(!button.enabled);
            verify(hint.visible);
            compare(hint.text, "Connect a controller to test.");
            mouseClick(button);
            wait(50);
            compare(host.calls, []);

            host.clients = [host.makeClient("A", 1, false, host.makeState(0))];
            verify(button.enabled);
            verify(!hint.visible);
            mouseClick(button);
            tryCompare(host, "calls", ["testRumble()"]);
        }

        function test_liveMeterAndSoundSettingsLinkFollowTheSwitch() {
            const view = createView();
            const live = findChild(view, "liveRow");
            const link = findChild(view, "soundSettingsLink");
            verify(!live.visible);
            verify(!link.visible);

            mouseClick(findChild(view, "audioRumbleSwitch"));
            compare(host.calls, ["rumbleFromAudio=true"]);
            verify(live.visible);
            // nothing heard yet
            verify(link.visible);
            // the link is a button in the Tab chain
            link.forceActiveFocus(Qt.TabFocusReason);
            keyClick(Qt.Key_Space);
            compare(host.calls, ["rumbleFromAudio=true", "openPrivacySettings(Privacy_ScreenCapture)"]);
            host.setRumbleLevels(0.01, 0);
            verify(!link.visible);
            // clicking the switch's label toggles it too
            mouseClick(findChild(view, "audioRumbleLabel"));
            compare(host.rumbleFromAudio, false);
        }

        function test_problemLabelShowsTheCaptureError() {
            const view = createView();
            const problem = findChild(view, "audioRumbleProblem");
            verify(!problem.visible);
            host.rumbleFromAudio = true;
            host.audioRumbleProblem = "Couldn't connect to the sound server (error -1).";
            verify(problem.visible);
            compare(problem.text, "Couldn't connect to the sound server (error -1).");
        }

        function test_slidersKeepTheirRanges() {
            const view = createView();
            const strength = findChild(findChild(view, "strengthSlider"), "slider");
            compare(strength.from, 0.25);
            compare(strength.to, 2.0);
            compare(strength.stepSize, 0);
            const gyro = findChild(findChild(view, "gyroSlider"), "slider");
            compare(gyro.from, 300);
            compare(gyro.to, 3000);
            // a model value outside the range is shown clamped, not written back
            host.gyroSpeed = 5000;
            compare(gyro.value, 3000);
            host.resetCalls();
            gyro.decrease();
            gyro.moved();
            compare(host.calls.length, 1);
            verify(host.gyroSpeed <= 3000 && host.gyroSpeed >= 300);
        }

        function test_meterAccessibilityValueAndBars() {
            const meter = createTemporaryObject(meterComponent, root, { low: 0.5, high: 0 });
            compare(meter.accessibleValue, "Heavy 50 percent, sharp 0 percent");
            compare(meter.Accessible.name, "Rumble level");
            const track = findChild(meter, "track_low");
            tryCompare(findChild(meter, "bar_low"), "width", track.width / 2);
            compare(findChild(meter, "bar_high").width, 0);

            meter.low = 0.379;
            meter.high = 1;
            compare(meter.accessibleValue, "Heavy 37 percent, sharp 100 percent");
        }
    }
}
