#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

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
// Writes go behind: a `set` changes the values in memory and returns, and a writer thread of
// the store's own saves the newest values at most once per `writeInterval`, at once when the
// store is flushed or destroyed. Each save replaces the whole file atomically (temp file next to
// it, fsync, rename, fsync of the folder), so a crash loses at most the changes of the last
// moment and leaves either the previous or the new file. A settings file that is a symbolic
// link (as dotfile managers make) stays one: the file it points to is replaced, next to itself.
// The file is created with mode 0600: it holds the paired phones' secrets.
//
// The folder must be a real folder (not a symbolic link) that belongs to this user and that no
// one else may write to; otherwise someone else could have planted a trusted phone in it. Such a
// folder is neither read nor written, and reported once. A file that cannot be read is never
// overwritten: it is moved aside as "settings.json.unreadable-<UTC time>" before the first
// save, and reported once. Reports go to the log category "Settings".
class JsonFileSettingsStore final : public SettingsStore {
public:
    static constexpr std::chrono::milliseconds writeInterval{250};

    // $XDG_CONFIG_HOME/jolto-host/settings.json, with ~/.config when XDG_CONFIG_HOME is unset
    // or not absolute; nothing when no home folder can be found either.
    static std::optional<std::filesystem::path> defaultPath();

    // Reads the file now; a missing file (or folder) is an empty store, created by the first
    // write.
    explicit JsonFileSettingsStore(std::filesystem::path file);
    // Saves what is still unsaved, then ends the writer.
    ~JsonFileSettingsStore() override;

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

    // Saves every change made so far now and returns once it is on disk (or has failed).
    void flush();
    // Saves attempted so far.
    std::uint64_t saveCount() const;

private:
    void load();
    void set(std::string_view key, nlohmann::ordered_json value);
    void writeBehind();
    // Writes `text` to the file; on failure logs and leaves the previous file in place. Only
    // the writer thread calls it.
    void persist(const std::string& text);
    // The file that a save replaces: the settings file or, when that is a symbolic link, the
    // file it leads to.
    std::filesystem::path target() const;
    // The problem when the file could not be moved.
    std::optional<std::string> moveUnreadableAside(const std::filesystem::path& file);
    void removeStaleTempFiles() const;
    const nlohmann::ordered_json* find(std::string_view key) const;

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    nlohmann::ordered_json values_ = nlohmann::ordered_json::object();
    std::map<std::string, double, std::less<>> fallbacks_;
    // Counts changes; the writer has saved (or tried to save) up to savedVersion_.
    std::uint64_t version_ = 0;
    std::uint64_t savedVersion_ = 0;
    std::uint64_t flushVersion_ = 0;
    std::uint64_t saves_ = 0;
    bool ending_ = false;

    // The writer thread's alone once it runs.
    bool folderRefused_ = false;
    bool unreadableOnDisk_ = false;
    bool lastWriteFailed_ = false;
    bool lastFolderFlushFailed_ = false;
    std::thread writer_;
};

} // namespace jolto
