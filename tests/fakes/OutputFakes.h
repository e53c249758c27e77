#pragma once

// Fakes of the output ports, recording what the code under test routed to them: the keyboard and
// the gamepads a HostServer feeds, and the virtual HID devices a gamepad feeds.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/MemorySettingsStore.h"
#include "platform/VirtualHidDevice.h"
#include "platform/VirtualHidDeviceFactory.h"
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

// What the fake devices did and what the test wants them to do, shared by the test and the
// devices (which the code under test destroys). Every field is guarded by `mutex`.
struct FakeHidDeviceLog {
    using Bytes = std::vector<std::uint8_t>;
    struct Request {
        bool get = false;
        VirtualHidDevice::ReportType type = VirtualHidDevice::ReportType::output;
        std::uint8_t reportID = 0;
        Bytes data;
    };

    std::mutex mutex;
    std::condition_variable changed;

    // Set by the test.
    bool refuseCreate = false;
    bool liveOnCreate = true;
    // The number (from 1, in order of making) of the one device whose dispatches block.
    int stalledDevice = 0;
    bool failDispatch = false;

    // Observed.
    int devicesMade = 0;
    std::optional<VirtualHidDevice::Properties> properties;
    bool live = false;
    int dispatchesEntered = 0;
    std::vector<Bytes> dispatched;
    std::vector<int> dispatchedBy;
    // +n when device n was made, -n when it was destroyed.
    std::vector<int> history;
    std::vector<Bytes> getReportAnswers;
    std::thread::id servicingThread;

    // Waiting for the servicing thread; `woken` by `start`, which serves tests of one device.
    std::deque<Request> pending;
    bool woken = false;

    // Waits up to 20 s for `done` (called with the lock held); true when it held.
    template <typename Pred> bool waitUntil(Pred done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return done(); });
    }

    // Runs `f` with the lock held and wakes every waiter to look again.
    template <typename F> auto with(F f) {
        std::lock_guard lock(mutex);
        changed.notify_all();
        return f();
    }

    void send(Request request) {
        with([&] { pending.push_back(std::move(request)); });
    }
    // The system starts the device (for devices made with liveOnCreate = false).
    void start() {
        with([&] { live = woken = true; });
    }
};

class FakeVirtualHidDevice final : public VirtualHidDevice {
public:
    FakeVirtualHidDevice(std::shared_ptr<FakeHidDeviceLog> log, int number)
        : log_(std::move(log)), number_(number) {}

    ~FakeVirtualHidDevice() override {
        log_->with([&] {
            log_->history.push_back(-number_);
            log_->live = false;
        });
    }

    bool create(const Properties& properties) override {
        return log_->with([&] {
            log_->properties = properties;
            if (!log_->refuseCreate && log_->liveOnCreate) {
                log_->live = woken_ = true;
            }
            return !log_->refuseCreate;
        });
    }

    bool isLive() const override {
        return log_->with([&] { return log_->live; });
    }

    bool dispatchInputReport(std::span<const std::uint8_t> report) override {
        std::unique_lock lock(log_->mutex);
        ++log_->dispatchesEntered;
        log_->changed.notify_all();
        log_->changed.wait(lock, [&] { return log_->stalledDevice != number_; });
        log_->dispatched.emplace_back(report.begin(), report.end());
        log_->dispatchedBy.push_back(number_);
        log_->changed.notify_all();
        return !log_->failDispatch;
    }

    void serviceRequests(Delegate& delegate) override {
        std::deque<FakeHidDeviceLog::Request> requests;
        log_->with([&] {
            requests.swap(log_->pending);
            log_->servicingThread = std::this_thread::get_id();
        });
        for (auto& r : requests) {
            if (r.get) {
                auto answer = delegate.getReport(r.type, r.reportID);
                log_->with(
                    [&] { log_->getReportAnswers.emplace_back(answer.begin(), answer.end()); });
            } else {
                delegate.setReport(r.type, r.reportID, r.data);
            }
        }
    }

    void waitForActivity() override {
        std::unique_lock lock(log_->mutex);
        log_->changed.wait(lock, [&] { return woken_ || log_->woken || !log_->pending.empty(); });
        woken_ = false;
        log_->woken = false;
    }

    void wake() override {
        log_->with([&] { woken_ = true; });
    }

private:
    std::shared_ptr<FakeHidDeviceLog> log_;
    int number_;
    // This device's own wake-up, so that devices sharing a log do not take each other's.
    bool woken_ = false;
};

class FakeVirtualHidDeviceFactory final : public VirtualHidDeviceFactory {
public:
    std::shared_ptr<FakeHidDeviceLog> log = std::make_shared<FakeHidDeviceLog>();
    bool refuse = false;

    std::unique_ptr<VirtualHidDevice> makeDevice() override {
        if (refuse) {
            return nullptr;
        }
        int number = log->with([&] {
            log->history.push_back(++log->devicesMade);
            return log->devicesMade;
        });
        return std::make_unique<FakeVirtualHidDevice>(log, number);
    }
};

} // namespace jolto::testing
