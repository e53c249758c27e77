import QtQuick
import QtTest
import Jolto

Item {
    id: root
    width: 600
    height: 400

    Component {
        id: previewComponent
        ControllerPreview {}
    }

    TestCase {
        name: "ControllerPreview"
        when: windowShown

        // Visible texts and icons drawn on the controller (not the staleness badge).
        function labelsShown(preview) {
            let shown = 0;
            const visit = (item) => {
                for (let i = 0; i < item.children.length; ++i) {
                    const child = item.children[i];
                    if (child.text !== undefined && child.text.length > 0 && child.visible)
                        ++shown;
                    visit(child);
                }
            };
            visit(findChild(preview, "drawing"));
            return shown;
        }

        function test_accessibilityValueListsPressedButtonsInOrder() {
            const preview = createTemporaryObject(previewComponent, root,
                                                  { width: 360, height: 200 });
            compare(preview.accessibleValue, "");
            compare(preview.Accessible.name, "Live controller input");
            // dpadLeft (bit 12) before south (bit 0) in the word, A first in the text
            preview.controllerState = host.makeState((1 << 12) | (1 << 0));
            compare(preview.accessibleValue, "A, \u2190");
            compare(preview.Accessible.description, "A, \u2190");
            preview.isStale = true;
            compare(preview.accessibleValue, "Paused, no signal");
        }

        function test_smallFormBelow120Points() {
            const preview = createTemporaryObject(previewComponent, root,
                                                  { width: 1.8 * 119, height: 119,
                                                    isStale: true });
            compare(findChild(preview, "drawing").height, 119);
            compare(labelsShown(preview), 0);
            verify(!findChild(preview, "staleBadge").visible);
            verify(findChild(preview, "staleBadgeSmall").visible);

            preview.width = 1.8 * 120;
            preview.height = 120;
            compare(findChild(preview, "drawing").height, 120);
            // LB, RB, the four face buttons, LT, RT, and the five icons
            compare(labelsShown(preview), 13);
            verify(findChild(preview, "staleBadge").visible);
            verify(!findChild(preview, "staleBadgeSmall").visible);
        }

        function test_keepsAspectRatioInsideTheOfferedSpace() {
            // A wide box: the height decides; a tall box: the width decides.
            const preview = createTemporaryObject(previewComponent, root,
                                                  { width: 500, height: 100 });
            const drawing = findChild(preview, "drawing");
            compare(drawing.height, 100);
            compare(drawing.width, 180);
            preview.width = 180;
            preview.height = 300;
            compare(drawing.width, 180);
            compare(drawing.height, 100);
        }

        function test_sticksAndTriggersFollowTheState() {
            const preview = createTemporaryObject(previewComponent, root,
                                                  { width: 360, height: 200 });
            const stick = findChild(preview, "leftStick");
            const knob = findChild(stick, "knob");
            const area = 0.3 * 200;
            const centre = Qt.point(knob.x + knob.width / 2, knob.y + knob.height / 2);
            fuzzyCompare(centre.x, area / 2, 0.001);
            fuzzyCompare(centre.y, area / 2, 0.001);

            // (1, 1) moves the knob right and up by 0.31 of the stick area
            preview.controllerState = host.makeState(0, 1, 1, 0, 0, 1, 0);
            fuzzyCompare(knob.x + knob.width / 2, area / 2 + 0.31 * area, 0.001);
            fuzzyCompare(knob.y + knob.height / 2, area / 2 - 0.31 * area, 0.001);

            const full = findChild(findChild(preview, "leftTrigger"), "fill");
            const empty = findChild(findChild(preview, "rightTrigger"), "fill");
            compare(full.width, 0.2 * 360);
            compare(empty.width, 0);
        }
    }
}
