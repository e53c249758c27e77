// How fast the rumble analyser digests audio: 480-frame blocks (10 ms at 48 kHz), the size the
// capture asks the sound server for.
#include <cmath>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio/RumbleAnalyzer.h"

namespace {

constexpr std::uint32_t blockFrames = 480;

std::vector<float> music(std::uint32_t frames, std::uint32_t channels) {
    std::vector<float> samples(std::size_t(frames) * channels);
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const double t = double(f) / 48000;
            samples[std::size_t(f) * channels + c] =
                float(0.4 * std::sin(2 * std::numbers::pi * 55 * t) +
                      0.1 * std::sin(2 * std::numbers::pi * (1000 + 300 * c) * t));
        }
    }
    return samples;
}

void BM_ProcessInterleaved(benchmark::State& state) {
    const auto channels = std::uint32_t(state.range(0));
    const auto block = music(blockFrames, channels);
    jolto::RumbleAnalyzer analyzer;
    for (auto _ : state) {
        analyzer.processInterleaved(block.data(), blockFrames, channels);
        benchmark::DoNotOptimize(analyzer.currentLevels());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * blockFrames);
}
BENCHMARK(BM_ProcessInterleaved)->Arg(1)->Arg(2)->Arg(6);

void BM_ProcessPlanarStereo(benchmark::State& state) {
    const auto left = music(blockFrames, 1);
    const auto right = music(blockFrames, 1);
    const float* channels[] = {left.data(), right.data()};
    jolto::RumbleAnalyzer analyzer;
    for (auto _ : state) {
        analyzer.processPlanar(channels, blockFrames);
        benchmark::DoNotOptimize(analyzer.currentLevels());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * blockFrames);
}
BENCHMARK(BM_ProcessPlanarStereo);

} // namespace

BENCHMARK_MAIN();
