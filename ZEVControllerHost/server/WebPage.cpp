#include "server/WebPage.h"

namespace jolto {

const WebFile* findWebFile(std::string_view target) {
    if (auto query = target.find_first_of("?#"); query != std::string_view::npos) {
        target = target.substr(0, query);
    }
    if (target == "/") {
        target = "/index.html";
    }
    for (const auto& file : webPageFiles()) {
        if (file.path == target) {
            return &file;
        }
    }
    return nullptr;
}

} // namespace jolto
