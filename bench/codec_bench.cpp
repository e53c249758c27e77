// Encoding and decoding a full state datagram (with gyro), the packet every phone sends at up
// to a few hundred per second.
#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "protocol/Packet.h"

using namespace jolto;
using jolto::bench::AllocationCounter;

namespace {

Packet sampleState() {
    ControllerState s;
    s.buttons = ButtonSet{ControllerButton::south, ControllerButton::rightShoulder};
    s.leftStick = {0.25f, -0.75f};
    s.rightStick = {-0.5f, 0.125f};
    s.leftTrigger = 0.5f;
    s.rightTrigger = 1.0f;
    s.gyroAim = {0.8f, -1.2f};
    return Packet::State{0xDEADBEEF, 12345, s};
}

void BM_DecodeState(benchmark::State& state) {
    auto datagram = encoded(sampleState());
    AllocationCounter counter{state};
    for (auto _ : state) {
        auto packet = decode(datagram);
        benchmark::DoNotOptimize(packet);
    }
}
BENCHMARK(BM_DecodeState);

void BM_EncodeStateInto(benchmark::State& state) {
    auto packet = sampleState();
    std::vector<std::uint8_t> buffer;
    buffer.reserve(64);
    AllocationCounter counter{state};
    for (auto _ : state) {
        encodeInto(packet, buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_EncodeStateInto);

void BM_EncodeState(benchmark::State& state) {
    auto packet = sampleState();
    for (auto _ : state) {
        auto bytes = encoded(packet);
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_EncodeState);

} // namespace

BENCHMARK_MAIN();
