// Costs of the keyboard and mouse output's two hot paths: `update` (a refresh over all
// controllers) on every routed state, and `step` on every 8 ms tick. Heap allocations per
// iteration are reported as "allocs/iter".
#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "output/KeyboardMouseOutput.h"

namespace {

using namespace jolto;

class NullSink final : public InputEventSink {
public:
    long events = 0;
    void post(const Event&) override { ++events; }
    void endBatch() override {}
};

class FixedDisplay final : public PointerDisplay {
public:
    std::optional<Point> pointerLocation() override { return Point{500, 500}; }
    std::optional<std::size_t> activeDisplayBounds(std::span<Rect> out) override {
        out[0] = {0, 0, 1920, 1080};
        out[1] = {1920, 0, 4480, 1440};
        return 2;
    }
    std::optional<Rect> mainDisplayBounds() override { return Rect{0, 0, 1920, 1080}; }
};

Uuid device(int i) {
    Uuid id;
    id.bytes[15] = static_cast<std::uint8_t>(i);
    return id;
}

// Four phones, each cycling through states that press and release buttons (keys, modifiers
// and mouse buttons) and sweep the left stick across the direction-key thresholds.
void BM_RefreshFourControllers(benchmark::State& st) {
    NullSink sink;
    FixedDisplay display;
    KeyboardMouseOutput output(sink, display);
    constexpr int phases = 16;
    ControllerState states[4][phases];
    for (int c = 0; c < 4; ++c) {
        for (int p = 0; p < phases; ++p) {
            ControllerState& s = states[c][p];
            s.buttons = ButtonSet(
                static_cast<std::uint32_t>((0x9E3779B9u * (p + 1) >> (c * 3)) & 0x7FFFFu));
            float t = static_cast<float>(p) / phases;
            s.leftStick = {t * 2 - 1, 1 - t * 2};
            s.rightStick = {0.2f, -0.1f};
        }
    }
    // Warm up: every container reaches its working size.
    for (int p = 0; p < phases; ++p) {
        for (int c = 0; c < 4; ++c) {
            output.update(device(c), states[c][p]);
        }
    }
    jolto::bench::AllocationCounter counter{st};
    long i = 0;
    for (auto _ : st) {
        int c = static_cast<int>(i & 3);
        int p = static_cast<int>((i >> 2) % phases);
        output.update(device(c), states[c][p]);
        ++i;
    }
    st.counters["events"] =
        benchmark::Counter(static_cast<double>(sink.events), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RefreshFourControllers);

// Four phones moving the pointer with the right stick and the gyro, one scrolling with the
// left stick: every step posts a move and a scroll.
void BM_StepFourControllers(benchmark::State& st) {
    NullSink sink;
    FixedDisplay display;
    KeyMapping mapping = KeyMapping::shooter();
    mapping.leftStick = StickAction::scroll;
    KeyboardMouseOutput output(sink, display, mapping);
    for (int c = 0; c < 4; ++c) {
        ControllerState s;
        s.rightStick = {0.7f, -0.3f};
        s.gyroAim = {0.1f * c, -0.05f};
        if (c == 0) {
            s.leftStick = {0.1f, 0.9f};
        }
        output.update(device(c), s);
    }
    for (int i = 0; i < 1000; ++i) {
        output.step(0.008);
    }
    jolto::bench::AllocationCounter counter{st};
    for (auto _ : st) {
        output.step(0.008);
    }
}
BENCHMARK(BM_StepFourControllers);

} // namespace

BENCHMARK_MAIN();
