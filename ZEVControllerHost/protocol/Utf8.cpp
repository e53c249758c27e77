#include "protocol/Utf8.h"

#include <utf8proc.h>

namespace jolto {

std::size_t graphemePrefixLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text.size();
    }
    auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto size = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t best = 0;
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_ssize_t pos = 0;
    while (pos < size) {
        utf8proc_int32_t cp = -1;
        auto len = utf8proc_iterate(bytes + pos, size - pos, &cp);
        if (len <= 0) {
            // An invalid byte stands alone: a boundary on both sides of it.
            len = 1;
            cp = -1;
        }
        bool boundary =
            previous < 0 || cp < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state);
        if (boundary) {
            if (static_cast<std::size_t>(pos) > maxBytes) {
                break;
            }
            best = static_cast<std::size_t>(pos);
            if (cp < 0) {
                state = 0;
            }
        }
        previous = cp;
        pos += len;
    }
    return best;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        unsigned char b = byteAt(i);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        std::size_t need = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b == 0xE0) {
            need = 2, lo = 0xA0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            need = 2;
        } else if (b == 0xED) {
            need = 2, hi = 0x9F;
        } else if (b == 0xF0) {
            need = 3, lo = 0x90;
        } else if (b >= 0xF1 && b <= 0xF3) {
            need = 3;
        } else if (b == 0xF4) {
            need = 3, hi = 0x8F;
        } else {
            out.append(replacement);
            ++i;
            continue;
        }
        // Consume the longest valid start of the sequence; an incomplete one becomes one
        // replacement character and decoding resumes at the offending byte.
        std::size_t j = i + 1;
        std::size_t got = 0;
        while (got < need && j < n) {
            unsigned char c = byteAt(j);
            unsigned char min = got == 0 ? lo : 0x80;
            unsigned char max = got == 0 ? hi : 0xBF;
            if (c < min || c > max) {
                break;
            }
            ++j;
            ++got;
        }
        if (got == need) {
            out.append(bytes.substr(i, j - i));
        } else {
            out.append(replacement);
        }
        i = j;
    }
    return out;
}

} // namespace jolto
