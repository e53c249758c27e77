#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FakeAudioCapture.h"
#include "app/HostModel.h"
#include "app/HostServerFacade.h"
#include "fakes/MemorySettingsStore.h"

namespace jolto {

inline ClientSnapshot client(int player, std::string name, bool stale = false) {
    ClientSnapshot c;
    c.id = *Uuid::parse("00000000-0000-4000-8000-00000000000" + std::to_string(player));
    c.name = std::move(name);
    c.playerNumber = player;
    c.isStale = stale;
    return c;
}

// Records the model's requests as text and keeps the event callback, to play the server's part.
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

    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }
    std::vector<KeyMapping> mappings() const { return locked(mutex_, mappings_); }
    std::vector<RumbleLevels> audio() const { return locked(mutex_, audio_); }
    void emitEvent(const HostEvent& event) const { locked(mutex_, emit_)(event); }

private:
    void record(std::string call, const KeyMapping* mapping = nullptr) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        if (mapping) {
            mappings_.push_back(*mapping);
        }
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<KeyMapping> mappings_;
    std::vector<RumbleLevels> audio_;
    Emit emit_;
};

// The real HostModel on fake ports; tests set the fields before make().
struct ModelPorts {
    HostModelPlatform platform() {
        HostModelPlatform p;
        p.hasInputAccess = [this] { return inputAccess.load(); };
        p.hasGamepadAccess = [this](GamepadDevice device) {
            return (device == GamepadDevice::hid ? hidAccess : gamepadAccess).load();
        };
        p.computerName = [this] { return computerName; };
        p.makeServer = [this](const std::string& hostName) {
            serverHostName = hostName;
            return server;
        };
        p.makeAudioCapture = [this] { return std::make_unique<FakeAudioCapture>(sound); };
        p.openSettings = [this](const std::string& anchor) { opened.push_back(anchor); };
        p.startAccessRequest = accessRequest;
        p.clock = clock;
        p.accessPollInterval = pollInterval;
        p.audioRebuildSpacing = rebuildSpacing;
        p.audioRetryDelay = retryDelay;
        return p;
    }
    std::unique_ptr<HostModel> make() { return std::make_unique<HostModel>(settings, platform()); }

    MemorySettingsStore settings;
    std::shared_ptr<FakeHostServer> server = std::make_shared<FakeHostServer>();
    std::shared_ptr<FakeSoundServer> sound = std::make_shared<FakeSoundServer>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::atomic<bool> inputAccess{true};
    std::atomic<bool> gamepadAccess{true};
    std::atomic<bool> hidAccess{true};
    std::string computerName = "Workshop PC";
    std::string serverHostName;
    std::vector<std::string> opened;
    std::function<bool(std::function<void(bool)>)> accessRequest;
    std::chrono::milliseconds pollInterval = std::chrono::hours(1);
    std::chrono::milliseconds rebuildSpacing = std::chrono::seconds(1);
    std::function<std::chrono::milliseconds(int)> retryDelay = SystemAudioRumble::retryDelay;
};

} // namespace jolto
