#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jolto {

// The per-user defaults store: a flat map from keys to data, string, bool or double values.
// Safe to call from any thread; a write is visible to every later read at once and returns
// without waiting for the disk: it is persisted shortly after, and at the latest when the store
// ends.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The stored bytes, or nothing when the key is absent or holds another kind.
    virtual std::optional<std::vector<std::uint8_t>> data(std::string_view key) const = 0;
    // The stored text, or nothing when absent or of another kind.
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    // The stored value, false when absent.
    virtual bool boolean(std::string_view key) const = 0;
    // The stored value; when absent the registered fallback, else 0.
    virtual double number(std::string_view key) const = 0;

    virtual void setData(std::string_view key, const std::vector<std::uint8_t>& value) = 0;
    virtual void setString(std::string_view key, std::string_view value) = 0;
    virtual void setBool(std::string_view key, bool value) = 0;
    virtual void setNumber(std::string_view key, double value) = 0;

    // A fallback returned by `number` for an absent key, for this run only; never written.
    virtual void registerFallback(std::string_view key, double value) = 0;
};

} // namespace jolto
