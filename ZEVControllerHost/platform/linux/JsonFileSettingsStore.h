#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/SettingsStore.h"

namespace jolto {

// The user's settings as one JSON object in one file, e.g.
//
//   {
//       "outputMode": "gamepad",
//       "rumbleFromAudio": true,
//       "rumbleStrength": 0.75,
//       "keyMapping": { "$json": { "buttons": ... } },
//       "avatar": { "$data": "iVBORw0KGgo=" }
//   }
//
// Strings, bools and doubles are the plain JSON values, so the kinds stay apart (true is not
// 1). Doubles are written in the shortest form that reads back to the same bits; the three
// values JSON cannot spell are written as {"$number": "NaN" | "Infinity" | "-Infinity"}.
// Data values are objects with one key: "$json" holds the bytes as an embedded JSON value
// when they are JSON that the compact writer reproduces byte for byte (so the trust list and
// the key mapping stay readable), "$data" holds any other bytes as base64. Any other value
// (null, arrays, other objects, keys of other programs' versions) reads as absent for every
// kind and is written back untouched.
//
// Every write replaces the whole file atomically (temp file in the same folder, fsync, rename,
// fsync of the folder), so a crash leaves either the previous or the new file. The file is
// created with mode 0600: it holds the paired phones' secrets. A file that cannot be read is
// never overwritten: it is moved aside as "settings.json.unreadable-<UTC time>" before the
// first write, and reported once under the log category "Settings".
class JsonFileSettingsStore final : public SettingsStore {
public:
    // $XDG_CONFIG_HOME/jolto-host/settings.json, with ~/.config when XDG_CONFIG_HOME is unset
    // or not absolute; nothing when no home folder can be found either.
    static std::optional<std::filesystem::path> defaultPath();

    // Reads the file now; a missing file (or folder) is an empty store, created by the first
    // write.
    explicit JsonFileSettingsStore(std::filesystem::path file);

    JsonFileSettingsStore(const JsonFileSettingsStore&) = delete;
    JsonFileSettingsStore& operator=(const JsonFileSettingsStore&) = delete;

    const std::filesystem::path& path() const { return file_; }

    std::optional<std::vector<std::uint8_t>> data(std::string_view key) const override;
    std::optional<std::string> string(std::string_view key) const override;
    bool boolean(std::string_view key) const override;
    double number(std::string_view key) const override;

    void setData(std::string_view key, const std::vector<std::uint8_t>& value) override;
    void setString(std::string_view key, std::string_view value) override;
    void setBool(std::string_view key, bool value) override;
    void setNumber(std::string_view key, double value) override;

    void registerFallback(std::string_view key, double value) override;

private:
    void load();
    void set(std::string_view key, nlohmann::ordered_json value);
    // Writes values_ to the file; on failure logs and leaves the previous file in place.
    void persist();
    // The problem when the file could not be moved.
    std::optional<std::string> moveUnreadableAside();
    void removeStaleTempFiles() const;
    const nlohmann::ordered_json* find(std::string_view key) const;

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::ordered_json values_ = nlohmann::ordered_json::object();
    std::map<std::string, double, std::less<>> fallbacks_;
    bool unreadableOnDisk_ = false;
    bool lastWriteFailed_ = false;
};

} // namespace jolto
