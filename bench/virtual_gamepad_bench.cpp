#include <array>
#include <condition_variable>
#include <mutex>

#include <benchmark/benchmark.h>

#include "output/VirtualGamepad.h"

using namespace jolto;

namespace {

std::array<ControllerState, 8> sampleStates() {
    std::array<ControllerState, 8> states{};
    for (std::size_t i = 0; i < states.size(); ++i) {
        auto f = static_cast<float>(i) / 7.0f;
        states[i].buttons = ButtonSet(static_cast<std::uint32_t>(0x5A5A5u * (i + 1)) & 0x7FFFFu);
        states[i].leftStick = {f - 0.5f, 0.5f - f};
        states[i].rightStick = {0.9f * f, -0.3f};
        states[i].gyroAim = {1.5f * f, 0.2f};
        states[i].leftTrigger = f;
        states[i].rightTrigger = 1.0f - f;
    }
    return states;
}

void BM_InputReport(benchmark::State& state) {
    auto states = sampleStates();
    std::size_t i = 0;
    for (auto _ : state) {
        auto report = VirtualGamepad::inputReport(states[i++ & 7]);
        benchmark::DoNotOptimize(report);
    }
}
BENCHMARK(BM_InputReport);

// A device the system never starts: reports stay in the stream, so this measures what the
// server pays per push (lock, copy, dropping the oldest) without the feeder's work.
class IdleDevice final : public VirtualHidDevice {
public:
    bool create(const Properties&) override { return true; }
    bool isLive() const override { return false; }
    bool dispatchInputReport(std::span<const std::uint8_t>) override { return true; }
    void serviceRequests(Delegate&) override {}
    void waitForActivity() override {
        std::unique_lock lock(mutex_);
        woken_.wait(lock, [&] { return wake_; });
        wake_ = false;
    }
    void wake() override {
        std::lock_guard lock(mutex_);
        wake_ = true;
        woken_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
};

struct IdleFactory final : VirtualHidDeviceFactory {
    std::unique_ptr<VirtualHidDevice> makeDevice() override {
        return std::make_unique<IdleDevice>();
    }
};

void BM_BuildAndPush(benchmark::State& state) {
    IdleFactory factory;
    auto gamepad = VirtualGamepad::create(factory, 1, "0A1B2C3D-0000-4000-8000-00000000ABCD", {});
    auto states = sampleStates();
    std::size_t i = 0;
    for (auto _ : state) {
        gamepad->push(VirtualGamepad::inputReport(states[i++ & 7]));
    }
}
BENCHMARK(BM_BuildAndPush);

} // namespace

BENCHMARK_MAIN();
