#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SettingsStore.h"
#include "protocol/Uuid.h"
#include "store/TrustedDevice.h"

namespace jolto {

// The phones that paired with this host, persisted as compact JSON under "trustedDevices"
// after every change. Lives on the server's context and takes no lock of its own; the
// SettingsStore it writes into must outlive it.
class TrustStore {
public:
    // Wall-clock now as seconds since 2001-01-01 00:00:00 UTC.
    using WallClock = std::function<double()>;

    static constexpr std::string_view settingsKey = "trustedDevices";

    static double systemNow();

    // Unreadable stored data gives an empty store and one error line under "Trust"; the bytes
    // stay as they are until the next save.
    static TrustStore load(SettingsStore& settings, WallClock now = systemNow);

    bool isTrusted(const Uuid& id, const Uuid& secret) const;
    // Renames a known phone and marks it seen now; an unknown id changes and writes nothing.
    void touch(const Uuid& id, const std::string& name);
    // Stores a freshly paired phone, replacing any entry with the same id.
    void add(const Uuid& id, const std::string& name, const Uuid& secret);
    // Writes even when the id was absent, so the stored form always matches the store.
    void forget(const Uuid& id);
    // Most recently seen first.
    std::vector<TrustedDevice> sortedDevices() const;

    void save() const;

    // The persisted form of a list, and its strict reading; the error is a description.
    static std::optional<std::string> encode(const std::vector<TrustedDevice>& devices);
    struct Decoded {
        std::vector<TrustedDevice> devices;
        std::optional<std::string> error;
    };
    static Decoded decode(std::string_view bytes);

private:
    TrustStore(SettingsStore& settings, WallClock now)
        : settings_(&settings), now_(std::move(now)) {}

    SettingsStore* settings_;
    WallClock now_;
    std::map<Uuid, TrustedDevice> devices_;
};

} // namespace jolto
