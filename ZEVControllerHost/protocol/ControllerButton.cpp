#include "protocol/ControllerButton.h"

namespace jolto {

namespace {

struct ButtonTexts {
    std::string_view displayName;
    std::string_view shortLabel;
};

constexpr std::array<ButtonTexts, controllerButtonCount> texts = {{
    {"South face button", "A"},  {"East face button", "B"}, {"West face button", "X"},
    {"North face button", "Y"},  {"Left bumper", "LB"},     {"Right bumper", "RB"},
    {"Left trigger", "LT"},      {"Right trigger", "RT"},   {"Left stick click", "LS"},
    {"Right stick click", "RS"}, {"D-pad up", "\u2191"},    {"D-pad down", "\u2193"},
    {"D-pad left", "\u2190"},    {"D-pad right", "\u2192"}, {"Select / View", "View"},
    {"Start / Menu", "Menu"},    {"Home", "Home"},          {"Capture / Share", "Share"},
    {"Touchpad", "Pad"},
}};

} // namespace

std::string_view displayName(ControllerButton button) {
    return texts[rawValue(button)].displayName;
}

std::string_view shortLabel(ControllerButton button) {
    return texts[rawValue(button)].shortLabel;
}

} // namespace jolto
