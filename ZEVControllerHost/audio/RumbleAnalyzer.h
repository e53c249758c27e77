#pragma once

#include <cstdint>
#include <span>

#include "protocol/RumbleLevels.h"

namespace jolto {

// Turns blocks of float audio into two motor levels: the bass (two one-pole low-passes at
// 120 Hz) drives the heavy motor, sudden rises of the whole mix over its slow average drive
// the sharp one. Seven floats and nothing else, so it is copied and replaced freely; a new
// capture always starts with a new analyzer.
//
// The arithmetic, its order and its single precision are part of the behaviour: the levels a
// phone sees must not depend on the compiler or the machine. The implementation file is built
// without fast-math and without contraction into fused multiply-adds.
class RumbleAnalyzer {
public:
    static constexpr double defaultSampleRate = 48000;

    // Rates below 8000 Hz, and rates that are not numbers, count as 8000 Hz.
    explicit RumbleAnalyzer(double sampleRate = defaultSampleRate);

    // One block of `frameCount` frames of `channelCount` consecutive samples each. Both counts
    // are at least 1.
    void processInterleaved(const float* samples, std::uint32_t frameCount,
                            std::uint32_t channelCount);
    // One block with one buffer per channel (at least one), each holding `frameCount` samples.
    void processPlanar(std::span<const float* const> channels, std::uint32_t frameCount);

    // Both levels lie in 0...1, whatever was fed in.
    RumbleLevels currentLevels() const;

    float lowPassCoefficient() const { return lowPassCoefficient_; }
    float lowPassState() const { return lowPassState_; }
    float lowPassState2() const { return lowPassState2_; }
    float lowEnvelope() const { return lowEnvelope_; }
    float fastEnvelope() const { return fastEnvelope_; }
    float slowEnvelope() const { return slowEnvelope_; }
    float transientEnvelope() const { return transientEnvelope_; }

private:
    template <typename MixFrame> void processBlock(std::uint32_t frameCount, MixFrame mixFrame);

    float lowPassCoefficient_;
    float lowPassState_ = 0;
    float lowPassState2_ = 0;
    float lowEnvelope_ = 0;
    float fastEnvelope_ = 0;
    float slowEnvelope_ = 0;
    float transientEnvelope_ = 0;
};

} // namespace jolto
