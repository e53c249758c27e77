#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/HostServerFacade.h"

namespace jolto {

// Records the model's requests in order, as text, and keeps the event callback so that a test
// can play the server's part. setAudioRumble comes from the capture's thread.
class FakeHostServer final : public HostServerFacade {
public:
    void start(OutputMode mode, KeyMapping mapping, Emit onEvent) override {
        record("start " + std::string(rawValue(mode)), &mapping);
        std::lock_guard lock(mutex_);
        emit_ = std::move(onEvent);
    }
    void setMode(OutputMode mode) override { record("setMode " + std::string(rawValue(mode))); }
    void setGamepadDevice(GamepadDevice device) override {
        record("setGamepadDevice " + std::string(rawValue(device)));
    }
    void setMapping(KeyMapping mapping) override { record("setMapping", &mapping); }
    void setRumbleStrength(float strength) override {
        record("setRumbleStrength " + std::to_string(strength));
    }
    void setAudioRumble(RumbleLevels levels) override {
        std::lock_guard lock(mutex_);
        audio_.push_back(levels);
    }
    void regeneratePIN() override { record("regeneratePIN"); }
    void forget(Uuid device) override { record("forget " + device.string()); }
    void testRumble() override { record("testRumble"); }
    void setWebPage(bool on) override { record(on ? "setWebPage on" : "setWebPage off"); }
    void retryGamepads() override { record("retryGamepads"); }

    std::vector<std::string> calls() const { return copy(calls_); }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    // The start's mapping, then each one set.
    std::vector<KeyMapping> mappings() const { return copy(mappings_); }
    std::vector<RumbleLevels> audio() const { return copy(audio_); }
    // Calls the model's event callback as the server would, on the calling thread.
    void emitEvent(const HostEvent& event) const { copy(emit_)(event); }

private:
    void record(std::string call, const KeyMapping* mapping = nullptr) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        if (mapping) {
            mappings_.push_back(*mapping);
        }
    }
    template <typename T> T copy(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<KeyMapping> mappings_;
    std::vector<RumbleLevels> audio_;
    Emit emit_;
};

} // namespace jolto
