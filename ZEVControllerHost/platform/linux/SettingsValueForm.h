#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace jolto {

// How the settings file holds what JSON cannot hold as it is. Data that is itself compact JSON
// is embedded readably as {"$json": value}; other data is {"$data": base64}; a number that is
// not finite is {"$number": "NaN" | "Infinity" | "-Infinity"}. Reading back gives nothing for a
// value of another shape.
struct SettingsValueForm {
    using Json = nlohmann::ordered_json;

    // Deeper JSON would make the recursive writer run out of stack.
    static constexpr int maxNesting = 256;

    static Json encodeData(const std::vector<std::uint8_t>& bytes);
    static std::optional<std::vector<std::uint8_t>> decodeData(const Json& value);
    static Json encodeNumber(double value);
    static std::optional<double> decodeNumber(const Json& value);

    // Nesting depth of JSON text, counting brackets outside strings. Invalid text just gives
    // some number; the parser judges validity.
    static int nestingDepth(std::string_view text);
};

} // namespace jolto
