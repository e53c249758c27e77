#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace jolto {

// The longest prefix of `text` that ends on a user-perceived character boundary and is at most
// `maxBytes` long, so a multi-byte character or a combined emoji is never split. Bytes that are
// not valid UTF-8 count as characters of their own.
std::size_t graphemePrefixLength(std::string_view text, std::size_t maxBytes);

// `bytes` as valid UTF-8, each maximal invalid subpart replaced by U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

} // namespace jolto
