#include "platform/linux/SettingsValueForm.h"

#include <cmath>
#include <limits>

namespace jolto {

namespace {

using Json = SettingsValueForm::Json;

constexpr std::string_view jsonTag = "$json";
constexpr std::string_view dataTag = "$data";
constexpr std::string_view numberTag = "$number";

constexpr char base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t chunk = std::uint32_t{bytes[i]} << 16;
        if (i + 1 < bytes.size()) {
            chunk |= std::uint32_t{bytes[i + 1]} << 8;
        }
        if (i + 2 < bytes.size()) {
            chunk |= bytes[i + 2];
        }
        out.push_back(base64Alphabet[chunk >> 18 & 63]);
        out.push_back(base64Alphabet[chunk >> 12 & 63]);
        out.push_back(i + 1 < bytes.size() ? base64Alphabet[chunk >> 6 & 63] : '=');
        out.push_back(i + 2 < bytes.size() ? base64Alphabet[chunk & 63] : '=');
    }
    return out;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// Padded base64 only; anything else (a hand-edited value, say) reads as absent.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::size_t padding = 0;
        if (last) {
            padding = text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
        }
        std::uint32_t chunk = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int v = k >= 4 - padding ? 0 : base64Value(text[i + k]);
            if (v < 0) {
                return std::nullopt;
            }
            chunk = chunk << 6 | static_cast<std::uint32_t>(v);
        }
        out.push_back(static_cast<std::uint8_t>(chunk >> 16));
        if (padding < 2) {
            out.push_back(static_cast<std::uint8_t>(chunk >> 8));
        }
        if (padding < 1) {
            out.push_back(static_cast<std::uint8_t>(chunk));
        }
    }
    return out;
}

std::string compact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The single-key wrapper object {tag: payload}, or nullptr when value is not one.
const Json* tagged(const Json& value, std::string_view tag) {
    if (!value.is_object() || value.size() != 1) {
        return nullptr;
    }
    auto it = value.begin();
    return it.key() == tag ? &it.value() : nullptr;
}

Json wrap(std::string_view tag, Json payload) {
    Json wrapper = Json::object();
    wrapper[std::string(tag)] = std::move(payload);
    return wrapper;
}

} // namespace

int SettingsValueForm::nestingDepth(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

Json SettingsValueForm::encodeData(const std::vector<std::uint8_t>& bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (nestingDepth(text) <= maxNesting) {
        Json parsed = Json::parse(text, nullptr, false);
        if (!parsed.is_discarded() && compact(parsed) == text) {
            return wrap(jsonTag, std::move(parsed));
        }
    }
    return wrap(dataTag, base64Encode(bytes));
}

Json SettingsValueForm::encodeNumber(double value) {
    if (std::isfinite(value)) {
        return value;
    }
    return wrap(numberTag, std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity");
}

std::optional<double> SettingsValueForm::decodeNumber(const Json& value) {
    if (value.is_number()) {
        return value.get<double>();
    }
    if (const Json* special = tagged(value, numberTag); special && special->is_string()) {
        const auto& text = special->get_ref<const std::string&>();
        if (text == "NaN") {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (text == "Infinity") {
            return std::numeric_limits<double>::infinity();
        }
        if (text == "-Infinity") {
            return -std::numeric_limits<double>::infinity();
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> SettingsValueForm::decodeData(const Json& value) {
    if (const Json* embedded = tagged(value, jsonTag)) {
        std::string text = compact(*embedded);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }
    if (const Json* encoded = tagged(value, dataTag); encoded && encoded->is_string()) {
        return base64Decode(encoded->get_ref<const std::string&>());
    }
    return std::nullopt;
}

} // namespace jolto
