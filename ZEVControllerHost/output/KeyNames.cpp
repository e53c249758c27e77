#include "output/KeyNames.h"

#include <array>
#include <utility>

namespace jolto {
namespace {

// Every named code is below 128, so the names sit in a table indexed by code; an empty entry
// has no name.
using NameTable = std::array<std::string, 128>;

// The fixed names. The six keys that carry Apple names on a Mac keyboard take the names that
// Linux keyboards print: Command is Super, Option is Alt, Delete is Backspace and the forward
// delete key is Delete.
constexpr std::pair<std::uint16_t, std::string_view> fixedNames[] = {
    // Letters
    {0, "A"},
    {11, "B"},
    {8, "C"},
    {2, "D"},
    {14, "E"},
    {3, "F"},
    {5, "G"},
    {4, "H"},
    {34, "I"},
    {38, "J"},
    {40, "K"},
    {37, "L"},
    {46, "M"},
    {45, "N"},
    {31, "O"},
    {35, "P"},
    {12, "Q"},
    {15, "R"},
    {1, "S"},
    {17, "T"},
    {32, "U"},
    {9, "V"},
    {13, "W"},
    {7, "X"},
    {16, "Y"},
    {6, "Z"},
    // Digits
    {29, "0"},
    {18, "1"},
    {19, "2"},
    {20, "3"},
    {21, "4"},
    {23, "5"},
    {22, "6"},
    {26, "7"},
    {28, "8"},
    {25, "9"},
    // Punctuation
    {27, "-"},
    {24, "="},
    {33, "["},
    {30, "]"},
    {41, ";"},
    {39, "'"},
    {43, ","},
    {47, "."},
    {44, "/"},
    {42, "\\"},
    {50, "`"},
    // The extra key of ISO keyboards, left of Z, by the legend most ISO layouts print on it
    {10, "< >"},
    // Editing and whitespace
    {49, "Space"},
    {36, "Return"},
    {48, "Tab"},
    {53, "Esc"},
    {51, "Backspace"},
    {117, "Delete"},
    // Help on a Mac keyboard, Insert on a PC keyboard
    {114, "Insert"},
    // Modifiers
    {57, "Caps Lock"},
    {56, "Shift"},
    {60, "Right Shift"},
    {59, "Control"},
    {62, "Right Control"},
    {58, "Alt"},
    {61, "Right Alt"},
    {55, "Super"},
    {54, "Right Super"},
    {63, "Fn"},
    // Arrows
    {123, "\u2190"},
    {124, "\u2192"},
    {126, "\u2191"},
    {125, "\u2193"},
    // Navigation
    {115, "Home"},
    {119, "End"},
    {116, "Page Up"},
    {121, "Page Down"},
    // Keypad operators; the minus is a minus sign, not a hyphen
    {76, "Keypad Enter"},
    {69, "Keypad +"},
    {78, "Keypad \u2212"},
    {67, "Keypad \u00d7"},
    {75, "Keypad \u00f7"},
    {65, "Keypad ."},
};

// F1 to F20.
constexpr std::uint16_t functionKeyCodes[] = {122, 120, 99,  118, 96,  97,  98, 100, 101, 109,
                                              103, 111, 105, 107, 113, 106, 64, 79,  80,  90};
// Keypad 0 to Keypad 9.
constexpr std::uint16_t keypadDigitCodes[] = {82, 83, 84, 85, 86, 87, 88, 89, 91, 92};

const NameTable& names() {
    static const NameTable table = [] {
        NameTable t;
        for (const auto& [code, name] : fixedNames) {
            t[code] = name;
        }
        for (std::size_t i = 0; i < std::size(functionKeyCodes); ++i) {
            t[functionKeyCodes[i]].append("F").append(std::to_string(i + 1));
        }
        for (std::size_t i = 0; i < std::size(keypadDigitCodes); ++i) {
            t[keypadDigitCodes[i]].append("Keypad ").append(std::to_string(i));
        }
        return t;
    }();
    return table;
}

} // namespace

std::optional<std::string_view> knownKeyName(std::uint16_t code) {
    const auto& table = names();
    if (code >= table.size() || table[code].empty()) {
        return std::nullopt;
    }
    return table[code];
}

std::string keyName(std::uint16_t code) {
    if (auto name = knownKeyName(code)) {
        return std::string(*name);
    }
    std::string name = "Key ";
    name += std::to_string(code);
    return name;
}

} // namespace jolto
