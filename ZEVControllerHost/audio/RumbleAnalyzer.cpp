#include "audio/RumbleAnalyzer.h"

#include <bit>
#include <cmath>

namespace jolto {

namespace {

// -2π × 120 Hz, the corner of both low-pass stages, exactly as a single-precision float.
constexpr float cornerTimesMinusTwoPi = -753.98218f;
static_assert(std::bit_cast<std::uint32_t>(cornerTimesMinusTwoPi) == 0xC43C7EDCu);

constexpr float minimumRate = 8000.0f;

constexpr float lowRise = 0.6f;
constexpr float lowFall = 0.12f;
constexpr float fastRise = 0.7f;
constexpr float fastFall = 0.3f;
constexpr float slowFactor = 0.03f;
constexpr float transientRatio = 1.35f;
constexpr float transientRise = 0.8f;
constexpr float transientFall = 0.25f;
constexpr float lowNoiseFloor = 0.006f;
constexpr float outputGain = 9.0f;

float coefficientFor(double sampleRate) {
    float rate = static_cast<float>(sampleRate);
    if (!(rate >= minimumRate)) { // also catches NaN
        rate = minimumRate;
    }
    return 1.0f - std::exp(cornerTimesMinusTwoPi / rate);
}

// NaN and negative values become 0; only values above 1 saturate.
float clampLevel(float value) {
    if (!(value > 0.0f)) {
        return 0.0f;
    }
    return value > 1.0f ? 1.0f : value;
}

} // namespace

RumbleAnalyzer::RumbleAnalyzer(double sampleRate)
    : lowPassCoefficient_(coefficientFor(sampleRate)) {}

template <typename MixFrame>
void RumbleAnalyzer::processBlock(std::uint32_t frameCount, MixFrame mixFrame) {
    // Locals rather than members so the compiler keeps the two stages in registers.
    const float k = lowPassCoefficient_;
    float stage1 = lowPassState_;
    float stage2 = lowPassState2_;
    float sumLow = 0.0f;
    float sumAll = 0.0f;
    for (std::uint32_t f = 0; f < frameCount; ++f) {
        const float m = mixFrame(f);
        stage1 = stage1 + k * (m - stage1);
        stage2 = stage2 + k * (stage1 - stage2);
        sumLow += stage2 * stage2;
        sumAll += m * m;
    }
    lowPassState_ = stage1;
    lowPassState2_ = stage2;

    const float frames = static_cast<float>(frameCount);
    const float rmsLow = std::sqrt(sumLow / frames);
    const float rmsAll = std::sqrt(sumAll / frames);

    lowEnvelope_ =
        lowEnvelope_ + (rmsLow - lowEnvelope_) * (rmsLow > lowEnvelope_ ? lowRise : lowFall);
    fastEnvelope_ =
        fastEnvelope_ + (rmsAll - fastEnvelope_) * (rmsAll > fastEnvelope_ ? fastRise : fastFall);
    slowEnvelope_ = slowEnvelope_ + (rmsAll - slowEnvelope_) * slowFactor;

    float target = fastEnvelope_ - transientRatio * slowEnvelope_;
    if (!(target >= 0.0f)) {
        target = 0.0f;
    }
    transientEnvelope_ =
        transientEnvelope_ + (target - transientEnvelope_) *
                                 (transientEnvelope_ < target ? transientRise : transientFall);
}

void RumbleAnalyzer::processInterleaved(const float* samples, std::uint32_t frameCount,
                                        std::uint32_t channelCount) {
    // Mono and stereo get their own loops so the channel sum unrolls; the sum still starts at
    // 0 and runs in channel order.
    switch (channelCount) {
    case 1:
        processBlock(frameCount, [samples](std::uint32_t f) { return 0.0f + samples[f]; });
        break;
    case 2:
        processBlock(frameCount, [samples](std::uint32_t f) {
            const float* frame = samples + 2 * static_cast<std::size_t>(f);
            return (0.0f + frame[0] + frame[1]) / 2.0f;
        });
        break;
    default: {
        const float channels = static_cast<float>(channelCount);
        processBlock(frameCount, [samples, channelCount, channels](std::uint32_t f) {
            const float* frame = samples + static_cast<std::size_t>(f) * channelCount;
            float sum = 0.0f;
            for (std::uint32_t c = 0; c < channelCount; ++c) {
                sum += frame[c];
            }
            return sum / channels;
        });
        break;
    }
    }
}

void RumbleAnalyzer::processPlanar(std::span<const float* const> channels,
                                   std::uint32_t frameCount) {
    const float channelCount = static_cast<float>(channels.size());
    processBlock(frameCount, [channels, channelCount](std::uint32_t f) {
        float sum = 0.0f;
        for (const float* channel : channels) {
            sum += channel[f];
        }
        return sum / channelCount;
    });
}

RumbleLevels RumbleAnalyzer::currentLevels() const {
    return {clampLevel((lowEnvelope_ - lowNoiseFloor) * outputGain),
            clampLevel(transientEnvelope_ * outputGain)};
}

} // namespace jolto
