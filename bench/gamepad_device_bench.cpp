// One input report on its way into each kind of virtual gamepad device, with the cost of the
// write itself kept small by writing to /dev/null: the uinput gamepad turns the report into
// the evdev events that changed (one write of them all), the HID gamepad copies it into a
// UHID_INPUT2 event (one write of its 4 KiB).
#include <array>

#include <fcntl.h>

#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/EvdevGamepadReport.h"
#include "platform/linux/UhidDevice.h"
#include "platform/linux/UinputGamepadDevice.h"

using namespace jolto;

namespace {

// A phone in play: sticks always moving, a few buttons changing.
std::array<InputReport, 8> sampleReports() {
    std::array<InputReport, 8> reports{};
    for (std::size_t i = 0; i < reports.size(); ++i) {
        ControllerState s;
        auto f = static_cast<float>(i) / 7.0f;
        s.buttons = ButtonSet(static_cast<std::uint32_t>(0x5A5A5u * (i + 1)) & 0x7FFFFu);
        s.leftStick = {f - 0.5f, 0.5f - f};
        s.rightStick = {0.9f * f, -0.3f};
        s.leftTrigger = f;
        reports[i] = VirtualGamepad::inputReport(s);
    }
    return reports;
}

void BM_ReportToEvdevEvents(benchmark::State& state) {
    auto reports = sampleReports();
    EvdevGamepadReport::Events out;
    std::size_t i = 0, events = 0;
    bench::AllocationCounter count{state};
    for (auto _ : state) {
        events += EvdevGamepadReport::events(reports[i & 7], reports[(i + 1) & 7], out);
        ++i;
        benchmark::DoNotOptimize(out);
    }
    state.counters["events/report"] =
        static_cast<double>(events) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ReportToEvdevEvents);

template <typename Device> void dispatch(benchmark::State& state, std::unique_ptr<Device> device) {
    if (!device) {
        state.SkipWithError("no device on /dev/null");
        return;
    }
    auto reports = sampleReports();
    std::size_t i = 0;
    bench::AllocationCounter count{state};
    for (auto _ : state) {
        benchmark::DoNotOptimize(device->dispatchInputReport(reports[i++ & 7]));
    }
}

void BM_UinputGamepadDispatch(benchmark::State& state) {
    dispatch(state, UinputGamepadDevice::adopt(::open("/dev/null", O_WRONLY | O_CLOEXEC)));
}
BENCHMARK(BM_UinputGamepadDispatch);

void BM_UhidGamepadDispatch(benchmark::State& state) {
    dispatch(state, UhidDevice::adopt(::open("/dev/null", O_WRONLY | O_CLOEXEC)));
}
BENCHMARK(BM_UhidGamepadDispatch);

} // namespace

BENCHMARK_MAIN();
