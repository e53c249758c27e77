#pragma once

// The output ports of a HostServer as fakes that record what the server routed to them, for the
// server's unit tests and the loopback tests.

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/MemorySettingsStore.h"
#include "server/HostServer.h"

namespace jolto::testing {

using namespace std::chrono_literals;

// The packets or events of type T among `all`, in order.
template <typename T, typename Range> std::vector<T> only(const Range& all) {
    std::vector<T> result;
    for (const auto& item : all) {
        if (auto v = item.template get<T>()) {
            result.push_back(*v);
        }
    }
    return result;
}

// Looks every 2 ms until `done` holds; false when it did not in `limit`.
template <typename Done> bool waitFor(Done done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class FakeKeyboard final : public KeyboardMouseTarget {
public:
    void setMapping(const KeyMapping& m) override { mappings.push_back(m); }
    void update(const Uuid& device, const ControllerState& state) override {
        updates.emplace_back(device, state);
        states[device] = state;
    }
    void remove(const Uuid& device) override {
        removed.push_back(device);
        states.erase(device);
    }
    void removeAllClients() override {
        ++removeAlls;
        states.clear();
    }
    bool needsMotion() const override { return motion; }
    void step(double elapsed) override { steps.push_back(elapsed); }

    std::vector<KeyMapping> mappings;
    std::vector<std::pair<Uuid, ControllerState>> updates;
    std::map<Uuid, ControllerState> states;
    std::vector<Uuid> removed;
    int removeAlls = 0;
    bool motion = false;
    std::vector<double> steps;
};

class FakeGamepads final : public GamepadFactory {
public:
    // What one created gamepad received; outlives the handle the server owns.
    struct Record {
        GamepadDevice device = GamepadDevice::standard;
        int playerNumber = 0;
        std::string serial;
        RumbleCallback onRumble;
        std::vector<ControllerState> pushed;
        bool finished = false;
    };

    std::unique_ptr<GamepadHandle> create(GamepadDevice device, int playerNumber,
                                          const std::string& serial,
                                          RumbleCallback onRumble) override {
        ++attempts;
        if (refuse) {
            return nullptr;
        }
        created.push_back(std::make_shared<Record>(
            Record{device, playerNumber, serial, std::move(onRumble), {}, false}));
        return std::make_unique<Handle>(created.back());
    }
    bool hasVirtualDeviceEntitlement(GamepadDevice) const override { return entitled; }

    bool refuse = false;
    bool entitled = true;
    int attempts = 0;
    std::vector<std::shared_ptr<Record>> created;

private:
    struct Handle final : GamepadHandle {
        explicit Handle(std::shared_ptr<Record> r) : record(std::move(r)) {}
        void push(const ControllerState& state) override { record->pushed.push_back(state); }
        void finish() override { record->finished = true; }
        std::shared_ptr<Record> record;
    };
};

inline ControllerState pressing(ControllerButton button) {
    ControllerState state;
    state.buttons.insert(button);
    return state;
}

} // namespace jolto::testing
