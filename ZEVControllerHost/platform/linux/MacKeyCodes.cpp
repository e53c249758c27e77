#include "platform/linux/MacKeyCodes.h"

#include <array>

#include <linux/input-event-codes.h>

namespace jolto {
namespace {

// By position on an ANSI keyboard: the Mac Command keys sit where PC keyboards have the
// Super (Meta) keys, Option where Alt is, Delete is Backspace and Fwd Delete is Delete.
constexpr MacKeyCode table[] = {
    // Letters
    {0, KEY_A},
    {11, KEY_B},
    {8, KEY_C},
    {2, KEY_D},
    {14, KEY_E},
    {3, KEY_F},
    {5, KEY_G},
    {4, KEY_H},
    {34, KEY_I},
    {38, KEY_J},
    {40, KEY_K},
    {37, KEY_L},
    {46, KEY_M},
    {45, KEY_N},
    {31, KEY_O},
    {35, KEY_P},
    {12, KEY_Q},
    {15, KEY_R},
    {1, KEY_S},
    {17, KEY_T},
    {32, KEY_U},
    {9, KEY_V},
    {13, KEY_W},
    {7, KEY_X},
    {16, KEY_Y},
    {6, KEY_Z},
    // Digits
    {29, KEY_0},
    {18, KEY_1},
    {19, KEY_2},
    {20, KEY_3},
    {21, KEY_4},
    {23, KEY_5},
    {22, KEY_6},
    {26, KEY_7},
    {28, KEY_8},
    {25, KEY_9},
    // Punctuation
    {27, KEY_MINUS},
    {24, KEY_EQUAL},
    {33, KEY_LEFTBRACE},
    {30, KEY_RIGHTBRACE},
    {41, KEY_SEMICOLON},
    {39, KEY_APOSTROPHE},
    {43, KEY_COMMA},
    {47, KEY_DOT},
    {44, KEY_SLASH},
    {42, KEY_BACKSLASH},
    {50, KEY_GRAVE},
    // The ISO key left of Z
    {10, KEY_102ND},
    // Editing and whitespace
    {49, KEY_SPACE},
    {36, KEY_ENTER},
    {48, KEY_TAB},
    {53, KEY_ESC},
    {51, KEY_BACKSPACE},
    {117, KEY_DELETE},
    // Where Mac keyboards have Help
    {114, KEY_INSERT},
    // Modifiers
    {57, KEY_CAPSLOCK},
    {56, KEY_LEFTSHIFT},
    {60, KEY_RIGHTSHIFT},
    {59, KEY_LEFTCTRL},
    {62, KEY_RIGHTCTRL},
    {58, KEY_LEFTALT},
    {61, KEY_RIGHTALT},
    {55, KEY_LEFTMETA},
    {54, KEY_RIGHTMETA},
    {63, KEY_FN},
    // Arrows
    {123, KEY_LEFT},
    {124, KEY_RIGHT},
    {126, KEY_UP},
    {125, KEY_DOWN},
    // Navigation
    {115, KEY_HOME},
    {119, KEY_END},
    {116, KEY_PAGEUP},
    {121, KEY_PAGEDOWN},
    // Keypad operators
    {76, KEY_KPENTER},
    {69, KEY_KPPLUS},
    {78, KEY_KPMINUS},
    {67, KEY_KPASTERISK},
    {75, KEY_KPSLASH},
    {65, KEY_KPDOT},
    // F1 to F20
    {122, KEY_F1},
    {120, KEY_F2},
    {99, KEY_F3},
    {118, KEY_F4},
    {96, KEY_F5},
    {97, KEY_F6},
    {98, KEY_F7},
    {100, KEY_F8},
    {101, KEY_F9},
    {109, KEY_F10},
    {103, KEY_F11},
    {111, KEY_F12},
    {105, KEY_F13},
    {107, KEY_F14},
    {113, KEY_F15},
    {106, KEY_F16},
    {64, KEY_F17},
    {79, KEY_F18},
    {80, KEY_F19},
    {90, KEY_F20},
    // Keypad digits
    {82, KEY_KP0},
    {83, KEY_KP1},
    {84, KEY_KP2},
    {85, KEY_KP3},
    {86, KEY_KP4},
    {87, KEY_KP5},
    {88, KEY_KP6},
    {89, KEY_KP7},
    {91, KEY_KP8},
    {92, KEY_KP9},
};

// Every named macOS code is below 128; lookups in both directions are plain array reads.
constexpr std::size_t macCodeLimit = 128;
constexpr std::size_t linuxCodeLimit = KEY_MAX + 1;

struct Lookup {
    std::array<std::uint16_t, macCodeLimit> toLinux{};
    std::array<std::uint16_t, linuxCodeLimit> toMac{};
};

// 0 marks "no entry" in both arrays: KEY_RESERVED is never a translation, and the one real 0
// on the macOS side (A) is told apart by its Linux code.
constexpr Lookup makeLookup() {
    Lookup l;
    for (const auto& entry : table) {
        l.toLinux[entry.mac] = entry.evdev;
        l.toMac[entry.evdev] = entry.mac;
    }
    return l;
}

constexpr Lookup lookup = makeLookup();

} // namespace

std::span<const MacKeyCode> macKeyCodeTable() {
    return table;
}

std::optional<std::uint16_t> linuxKeyFromMac(std::uint16_t macCode) {
    if (macCode >= macCodeLimit || lookup.toLinux[macCode] == 0) {
        return std::nullopt;
    }
    return lookup.toLinux[macCode];
}

std::optional<std::uint16_t> macKeyFromLinux(std::uint16_t linuxCode) {
    if (linuxCode >= linuxCodeLimit || linuxCode == KEY_RESERVED) {
        return std::nullopt;
    }
    std::uint16_t mac = lookup.toMac[linuxCode];
    // toMac holds 0 both for "A" and for "none"; only KEY_A really maps to 0.
    if (mac == 0 && linuxCode != KEY_A) {
        return std::nullopt;
    }
    return mac;
}

} // namespace jolto
