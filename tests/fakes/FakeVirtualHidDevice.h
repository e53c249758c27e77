#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/VirtualHidDevice.h"
#include "platform/VirtualHidDeviceFactory.h"

namespace jolto::fakes {

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
    int devicesDestroyed = 0;
    std::optional<VirtualHidDevice::Properties> properties;
    bool live = false;
    int dispatchesEntered = 0;
    std::vector<Bytes> dispatched;
    // Which device sent each of `dispatched`.
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
            ++log_->devicesDestroyed;
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

} // namespace jolto::fakes
