#include "PhoneIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace jolto {

std::filesystem::path PhoneIdentity::defaultPath() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        base = ".";
    }
    return base / "jolto-phone" / "identity.json";
}

PhoneIdentity::Loaded PhoneIdentity::loadOrCreate(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        const auto json = nlohmann::json::parse(text.str(), nullptr, false);
        if (!in || json.is_discarded() || !json.is_object()) {
            return {std::nullopt, false, file.string() + " is not an identity file"};
        }
        const auto id = json.contains("deviceID") && json["deviceID"].is_string()
                            ? Uuid::parse(json["deviceID"].get<std::string>())
                            : std::nullopt;
        const auto secret = json.contains("secret") && json["secret"].is_string()
                                ? Uuid::parse(json["secret"].get<std::string>())
                                : std::nullopt;
        if (!id || !secret) {
            return {std::nullopt, false, file.string() + " has no valid deviceID and secret"};
        }
        return {PhoneIdentity{*id, *secret}, false, {}};
    }

    PhoneIdentity identity{Uuid::random(), Uuid::random()};
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path(), ec);
    }
    const nlohmann::json json = {{"deviceID", identity.deviceID.string()},
                                 {"secret", identity.secret.string()}};
    const std::string text = json.dump(2) + "\n";
    // Written whole under a temporary name and renamed, so that a reader never sees half.
    const std::filesystem::path temporary = file.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return {std::nullopt, false,
                "couldn't write " + file.string() + ": " + std::strerror(errno)};
    }
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), file.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::filesystem::remove(temporary, ec);
        return {std::nullopt, false, "couldn't write " + file.string() + ": " + why};
    }
    return {identity, true, {}};
}

} // namespace jolto
