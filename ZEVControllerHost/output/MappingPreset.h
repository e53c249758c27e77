#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "output/KeyMapping.h"

namespace jolto {

// The built-in mappings the user can apply; applying one replaces the whole mapping, speeds
// included. The raw values are the persisted form.
enum class MappingPreset : std::uint8_t { shooter, retro };

inline constexpr std::array<MappingPreset, 2> allMappingPresets = {MappingPreset::shooter,
                                                                   MappingPreset::retro};

constexpr std::string_view rawValue(MappingPreset preset) {
    return preset == MappingPreset::retro ? "retro" : "shooter";
}

constexpr std::optional<MappingPreset> mappingPresetFromRaw(std::string_view raw) {
    for (auto preset : allMappingPresets) {
        if (rawValue(preset) == raw) {
            return preset;
        }
    }
    return std::nullopt;
}

// "Shooter — WASD + Mouse", "Retro — Arrows + Z X A S"
constexpr std::string_view title(MappingPreset preset) {
    return preset == MappingPreset::retro ? "Retro \u2014 Arrows + Z X A S"
                                          : "Shooter \u2014 WASD + Mouse";
}

inline const KeyMapping& mapping(MappingPreset preset) {
    return preset == MappingPreset::retro ? KeyMapping::retro() : KeyMapping::shooter();
}

} // namespace jolto
