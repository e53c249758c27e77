#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace jolto {

// One key by position: the macOS virtual key code the mapping stores and the Linux input
// event code (KEY_*) of the key in the same place on a PC keyboard.
struct MacKeyCode {
    std::uint16_t mac;
    std::uint16_t evdev;
};

// Every named macOS key code with its Linux key; the Linux codes are all distinct.
std::span<const MacKeyCode> macKeyCodeTable();

// The Linux key for a macOS virtual key code; nothing for a code without a translation.
std::optional<std::uint16_t> linuxKeyFromMac(std::uint16_t macCode);
// The macOS virtual key code for a Linux key, so that a key captured from an evdev device
// is stored the way the mapping stores keys; nothing for a key outside the table.
std::optional<std::uint16_t> macKeyFromLinux(std::uint16_t linuxCode);

} // namespace jolto
