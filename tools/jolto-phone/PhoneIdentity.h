#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "protocol/Uuid.h"

namespace jolto {

// The simulator's own device id and secret, kept in a small JSON file
// ({"deviceID": "…", "secret": "…"}) so that a host that paired with it trusts it next time.
struct PhoneIdentity {
    Uuid deviceID;
    Uuid secret;

    struct Loaded;

    // Reads the file, or makes a new identity and writes it (readable by its owner only) when
    // there is none. A file that exists but does not hold an identity is an error, never
    // overwritten: it may be another phone's.
    static Loaded loadOrCreate(const std::filesystem::path& file);

    // $XDG_CONFIG_HOME/jolto-phone/identity.json, with ~/.config when that is not set.
    static std::filesystem::path defaultPath();
};

struct PhoneIdentity::Loaded {
    std::optional<PhoneIdentity> identity;
    bool created = false;
    // Why the file could neither be read nor made, when `identity` is empty.
    std::string error;
};

} // namespace jolto
