.pragma library

// The symbol names the views use, mapped to Material Icons: the name of the icon and its code
// point in MaterialIcons-Regular.ttf (code points rather than ligatures, so shaping never matters).
var table = {
    "gamecontroller": ["sports_esports", 0xea28],
    "gamecontroller.fill": ["sports_esports", 0xea28],
    "keyboard": ["keyboard", 0xe312],
    "waveform.path": ["graphic_eq", 0xe1b8],
    "iphone.gen3": ["smartphone", 0xe32c],
    "checklist": ["checklist", 0xe6b1],
    "exclamationmark.triangle.fill": ["warning", 0xe002],
    "exclamationmark.circle.fill": ["error", 0xe000],
    "checkmark.circle.fill": ["check_circle", 0xe86c],
    "xmark.octagon.fill": ["dangerous", 0xe99a],
    "info.circle": ["info_outline", 0xe88f],
    "tortoise": ["directions_walk", 0xe536],
    "hare": ["directions_run", 0xe566],
    "arrow.clockwise": ["refresh", 0xe5d5],
    "speaker.wave.1": ["volume_mute", 0xe04e],
    "speaker.wave.3": ["volume_up", 0xe050],
    "iphone.radiowaves.left.and.right": ["vibration", 0xe62d],
    "wifi.slash": ["wifi_off", 0xe648],
    "hand.point.up.left": ["touch_app", 0xe913],
    "house.fill": ["home", 0xe88a],
    "rectangle.on.rectangle": ["filter_none", 0xe3e0],
    "line.3.horizontal": ["menu", 0xe5d2],
    "square.and.arrow.up": ["ios_share", 0xe6b8],
    "doc.on.doc": ["content_copy", 0xe14d],
    "computermouse": ["mouse", 0xe323],
    "power": ["power_settings_new", 0xe8ac]
};

function iconName(symbol) {
    var entry = table[symbol];
    return entry ? entry[0] : "";
}

// The glyph for a symbol, or "" for a name the table does not know (shows nothing rather
// than a wrong picture).
function glyph(symbol) {
    var entry = table[symbol];
    return entry ? String.fromCharCode(entry[1]) : "";
}
