#pragma once

#include <span>
#include <string_view>

namespace jolto {

// One file of the controller page that the host serves to phone browsers, built into the
// program from ZEVControllerHost/web/.
struct WebFile {
    std::string_view path;
    std::string_view contentType;
    std::string_view body;
};

std::span<const WebFile> webPageFiles();
// The file served at a request target ("/" is the page itself), or null.
const WebFile* findWebFile(std::string_view target);

} // namespace jolto
