#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "platform/SettingsStore.h"

namespace jolto {

// A SettingsStore in memory with the real one's kind rules (a read of another kind is a read of
// an absent key; fallbacks are never stored), counting writes so that a rewrite shows.
class MemorySettingsStore final : public SettingsStore {
public:
    using Value = std::variant<std::vector<std::uint8_t>, std::string, bool, double>;

    std::optional<std::vector<std::uint8_t>> data(std::string_view key) const override {
        return get<std::vector<std::uint8_t>>(key);
    }
    std::optional<std::string> string(std::string_view key) const override {
        return get<std::string>(key);
    }
    bool boolean(std::string_view key) const override { return get<bool>(key).value_or(false); }
    double number(std::string_view key) const override {
        if (auto value = get<double>(key)) {
            return *value;
        }
        std::lock_guard lock(mutex_);
        auto fallback = fallbacks_.find(key);
        return fallback == fallbacks_.end() ? 0.0 : fallback->second;
    }

    void setData(std::string_view key, const std::vector<std::uint8_t>& value) override {
        set(key, value);
    }
    void setString(std::string_view key, std::string_view value) override {
        set(key, std::string(value));
    }
    void setBool(std::string_view key, bool value) override { set(key, value); }
    void setNumber(std::string_view key, double value) override { set(key, value); }

    void registerFallback(std::string_view key, double value) override {
        std::lock_guard lock(mutex_);
        fallbacks_.insert_or_assign(std::string(key), value);
    }

    std::size_t writeCount() const { return writtenKeys().size(); }
    // Keys in the order they were written, one entry per write.
    std::vector<std::string> writtenKeys() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    // Puts bytes in place as if an earlier run had written them, without counting a write.
    void preset(std::string_view key, Value value) {
        std::lock_guard lock(mutex_);
        values_.insert_or_assign(std::string(key), std::move(value));
    }
    void presetText(std::string_view key, std::string_view text) {
        preset(key, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

private:
    template <typename T> std::optional<T> get(std::string_view key) const {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        const T* value = it == values_.end() ? nullptr : std::get_if<T>(&it->second);
        return value ? std::optional<T>(*value) : std::nullopt;
    }

    void set(std::string_view key, Value value) {
        std::lock_guard lock(mutex_);
        values_.insert_or_assign(std::string(key), std::move(value));
        writes_.emplace_back(key);
    }

    mutable std::mutex mutex_;
    std::map<std::string, Value, std::less<>> values_;
    std::map<std::string, double, std::less<>> fallbacks_;
    std::vector<std::string> writes_;
};

} // namespace jolto
