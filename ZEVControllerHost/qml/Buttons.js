.pragma library

// The 19 controller buttons in their raw order (the bit number in a state's button word):
// the name shown in the mapping list and the short label drawn on the preview.
var all = [
    { displayName: QT_TRANSLATE_NOOP("Buttons", "South face button"), shortLabel: "A" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "East face button"), shortLabel: "B" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "West face button"), shortLabel: "X" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "North face button"), shortLabel: "Y" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Left bumper"), shortLabel: "LB" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Right bumper"), shortLabel: "RB" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Left trigger"), shortLabel: "LT" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Right trigger"), shortLabel: "RT" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Left stick click"), shortLabel: "LS" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Right stick click"), shortLabel: "RS" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "D-pad up"), shortLabel: "\u2191" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "D-pad down"), shortLabel: "\u2193" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "D-pad left"), shortLabel: "\u2190" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "D-pad right"), shortLabel: "\u2192" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Select / View"), shortLabel: "View" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Start / Menu"), shortLabel: "Menu" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Home"), shortLabel: "Home" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Capture / Share"), shortLabel: "Share" },
    { displayName: QT_TRANSLATE_NOOP("Buttons", "Touchpad"), shortLabel: "Pad" }
];

var south = 0, east = 1, west = 2, north = 3;
var leftShoulder = 4, rightShoulder = 5, leftTrigger = 6, rightTrigger = 7;
var leftStick = 8, rightStick = 9;
var dpadUp = 10, dpadDown = 11, dpadLeft = 12, dpadRight = 13;
var select = 14, start = 15, home = 16, capture = 17, touchpad = 18;

function isPressed(buttons, button) {
    return ((buttons >>> button) & 1) === 1;
}

// Short labels of the pressed buttons in raw order, joined with ", ".
function pressedLabels(buttons) {
    var names = [];
    for (var i = 0; i < all.length; ++i) {
        if (isPressed(buttons, i))
            names.push(all[i].shortLabel);
    }
    return names.join(", ");
}
