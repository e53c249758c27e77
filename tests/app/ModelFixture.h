#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FakeAudioCapture.h"
#include "FakeHostServer.h"
#include "app/HostModel.h"
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

// The real HostModel on fake ports: settings in memory, a fake server and sound server, a
// clock that moves when told. Tests set the fields before make().
struct ModelPorts {
    HostModelPlatform platform() {
        using namespace std::chrono_literals;
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
