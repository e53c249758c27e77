#include "platform/linux/HostIdentity.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace jolto {

namespace {

std::string unquote(std::string_view value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else if (quote != 0 && c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
            out.push_back(value[++i]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

std::optional<std::string> prettyHostnameFromMachineInfo(std::string_view text) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        auto line = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (line.starts_with(key)) {
            auto value = unquote(line.substr(key.size()));
            while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
                value.pop_back();
            }
            result = value.empty() ? std::nullopt : std::optional(value);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return result;
}

std::string computerDisplayName() {
    std::ifstream file("/etc/machine-info");
    if (file) {
        std::stringstream text;
        text << file.rdbuf();
        if (auto pretty = prettyHostnameFromMachineInfo(text.str())) {
            return *pretty;
        }
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        return name;
    }
    return "Linux";
}

} // namespace jolto
