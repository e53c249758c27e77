#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio/RumbleAnalyzer.h"

using namespace jolto;

namespace {

// True when `value` rounds to `expected` at the number of decimals `expected` is written with.
testing::AssertionResult roundsTo(float value, const std::string& expected) {
    const auto point = expected.find('.');
    const int decimals = point == std::string::npos ? 0 : int(expected.size() - point - 1);
    if (std::abs(double(value) - std::stod(expected)) <= 0.5 * std::pow(10.0, -decimals)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << value << " does not round to " << expected;
}

std::vector<float> sine(std::size_t frames, double frequency, double amplitude, double rate) {
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[i] =
            float(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
    }
    return samples;
}

void feedMono(RumbleAnalyzer& analyzer, const std::vector<float>& block) {
    analyzer.processInterleaved(block.data(), std::uint32_t(block.size()), 1);
}

const std::vector<float> silence(480, 0.0f);
const RumbleLevels zero{0, 0};

} // namespace

TEST(RumbleAnalyzer, CoefficientFollowsTheRateWithAFloorOf8000Hz) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RumbleAnalyzer().lowPassCoefficient()), 0x3C7F5940u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RumbleAnalyzer(48000).lowPassCoefficient()),
              0x3C7F5940u);
    EXPECT_TRUE(roundsTo(RumbleAnalyzer(48000).lowPassCoefficient(), "0.015585244"));
    EXPECT_TRUE(roundsTo(RumbleAnalyzer(44100).lowPassCoefficient(), "0.0169518"));
    const float at8000 = RumbleAnalyzer(8000).lowPassCoefficient();
    EXPECT_TRUE(roundsTo(at8000, "0.0899428"));
    for (double rate : {4000.0, 0.0, -48000.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(RumbleAnalyzer(rate).lowPassCoefficient(), at8000) << rate;
    }
}

TEST(RumbleAnalyzer, SilenceAndEqualButOppositeStereoStayAtZero) {
    RumbleAnalyzer analyzer;
    EXPECT_EQ(analyzer.currentLevels(), zero);
    std::vector<float> stereo;
    for (float s : sine(480, 60, 0.9, 48000)) {
        stereo.insert(stereo.end(), {s, -s});
    }
    for (int i = 0; i < 5; ++i) {
        feedMono(analyzer, silence);
        analyzer.processInterleaved(stereo.data(), 480, 2);
    }
    EXPECT_EQ(analyzer.lowPassState2(), 0.0f);
    EXPECT_EQ(analyzer.lowEnvelope(), 0.0f);
    EXPECT_EQ(analyzer.fastEnvelope(), 0.0f);
    EXPECT_EQ(analyzer.transientEnvelope(), 0.0f);
    EXPECT_EQ(analyzer.currentLevels(), zero);
}

TEST(RumbleAnalyzer, ConstantBlocksRiseThenTheTransientDiesAway) {
    RumbleAnalyzer analyzer(48000);
    const std::vector<float> block(480, 0.1f);
    feedMono(analyzer, block);
    EXPECT_TRUE(roundsTo(analyzer.lowEnvelope(), "0.04795"));
    EXPECT_TRUE(roundsTo(analyzer.fastEnvelope(), "0.07000"));
    EXPECT_TRUE(roundsTo(analyzer.slowEnvelope(), "0.00300"));
    EXPECT_TRUE(roundsTo(analyzer.transientEnvelope(), "0.05276"));
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().low, "0.3776"));
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().high, "0.4748"));
    EXPECT_EQ(analyzer.currentLevels(), analyzer.currentLevels()); // reading changes nothing

    feedMono(analyzer, block);
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().low, "0.6583"));
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().high, "0.6927"));
    for (int i = 2; i < 202; ++i) {
        feedMono(analyzer, block);
    }
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().low, "0.846"));
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().high, "0.0"));
    // A steady signal has caught up with its slow average: no transient is left to chase.
    EXPECT_LE(analyzer.fastEnvelope(), 1.35f * analyzer.slowEnvelope());
}

TEST(RumbleAnalyzer, TrebleOnsetIsATransientButNotBass) {
    RumbleAnalyzer analyzer(48000);
    feedMono(analyzer, sine(512, 1000, 0.5, 48000));
    EXPECT_EQ(analyzer.currentLevels().high, 1.0f);
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().low, "0.01"));
}

// Interleaved stereo (its own fast path), interleaved with more channels (the general mix) and
// planar buffers all mix the same way; the channels differ so the average matters.
TEST(RumbleAnalyzer, PlanarAndInterleavedAgreeToTheBit) {
    const std::vector<float> c[] = {sine(300, 50, 0.7, 44100), sine(300, 3000, 0.2, 44100),
                                    std::vector<float>(300, -0.05f)};
    for (std::uint32_t channels : {2u, 3u}) {
        std::vector<float> interleaved;
        for (std::size_t i = 0; i < 300; ++i) {
            for (std::uint32_t k = 0; k < channels; ++k) {
                interleaved.push_back(c[k][i]);
            }
        }
        RumbleAnalyzer fromInterleaved(44100);
        RumbleAnalyzer fromPlanar(44100);
        const float* planes[] = {c[0].data(), c[1].data(), c[2].data()};
        for (int i = 0; i < 3; ++i) {
            fromInterleaved.processInterleaved(interleaved.data(), 300, channels);
            fromPlanar.processPlanar(std::span(planes, channels), 300);
        }
        EXPECT_EQ(fromInterleaved.lowPassState(), fromPlanar.lowPassState()) << channels;
        EXPECT_EQ(fromInterleaved.lowEnvelope(), fromPlanar.lowEnvelope()) << channels;
        EXPECT_EQ(fromInterleaved.fastEnvelope(), fromPlanar.fastEnvelope()) << channels;
        EXPECT_EQ(fromInterleaved.transientEnvelope(), fromPlanar.transientEnvelope());
        EXPECT_GT(fromInterleaved.currentLevels().low, 0.0f);
    }
}

TEST(RumbleAnalyzer, LevelsStayWithinZeroAndOneForAnyAmplitude) {
    const float max = std::numeric_limits<float>::max();
    const float inf = std::numeric_limits<float>::infinity();
    for (float amplitude : {2.0f, 1e6f, 1e19f, 1e30f, max}) {
        RumbleAnalyzer analyzer;
        // Loud and quiet blocks so every envelope moves both ways, then clipping stereo.
        for (int i = 0; i <= 20; ++i) {
            const auto block = i < 20
                                   ? sine(480, i % 2 ? 40 : 2000, i % 3 ? amplitude : 0.001, 48000)
                                   : std::vector<float>{max, max, -max, inf, -inf, max};
            analyzer.processInterleaved(block.data(), i < 20 ? 480 : 3, i < 20 ? 1 : 2);
            const RumbleLevels l = analyzer.currentLevels();
            EXPECT_TRUE(l.low >= 0 && l.low <= 1 && l.high >= 0 && l.high <= 1)
                << l.low << ", " << l.high << " at " << amplitude;
        }
    }
}

TEST(RumbleAnalyzer, NotANumberPoisonsForGoodAndOnlyANewAnalyzerRecovers) {
    RumbleAnalyzer analyzer;
    auto loud = std::vector<float>(480, 0.3f);
    feedMono(analyzer, loud);
    ASSERT_GT(analyzer.currentLevels().low, 0.5f);
    ASSERT_GT(analyzer.currentLevels().high, 0.5f);

    loud[100] = std::numeric_limits<float>::quiet_NaN();
    feedMono(analyzer, loud);
    loud[100] = 0.3f;
    EXPECT_TRUE(std::isnan(analyzer.lowEnvelope()) && std::isnan(analyzer.slowEnvelope()));
    EXPECT_FALSE(std::isnan(analyzer.transientEnvelope()));

    // The transient decays by a quarter per block and the heavy motor stays silent, however
    // clean the audio that follows.
    float previous = analyzer.transientEnvelope();
    for (int i = 0; i < 60; ++i) {
        feedMono(analyzer, loud);
        EXPECT_EQ(analyzer.currentLevels().low, 0.0f);
        EXPECT_EQ(analyzer.transientEnvelope(), previous * 0.75f);
        previous = analyzer.transientEnvelope();
    }
    EXPECT_LT(analyzer.currentLevels().high, 1e-6f);

    analyzer = RumbleAnalyzer();
    feedMono(analyzer, loud);
    EXPECT_GT(analyzer.currentLevels().low, 0.5f);
}

// The floating-point contract: every operation rounded to single precision in the order the
// formulas give, nothing fused. The constants were worked out by hand, rounding each step of
// the formulas to a 32-bit float; a build that contracts `a + k * b` into fused multiply-adds,
// reorders the sums or computes in wider precision ends with other bits.
TEST(RumbleAnalyzer, ThreeStereoBlocksEndOnExactlyTheBitsOfTheFormulas) {
    std::vector<float> stereo;
    for (int i = 0; i < 192; ++i) {
        stereo.push_back(float(i * 37 % 64) / 64.0f - 0.5f);
        stereo.push_back(float(i % 5 + 1) / 70.0f);
    }
    RumbleAnalyzer analyzer(48000);
    for (int block = 0; block < 3; ++block) {
        analyzer.processInterleaved(stereo.data() + block * 128, 64, 2);
    }
    const std::pair<float, std::uint32_t> expected[] = {
        {analyzer.lowPassState(), 0x3C95B9FDu},      {analyzer.lowPassState2(), 0x3C66490Bu},
        {analyzer.lowEnvelope(), 0x3C16ECBCu},       {analyzer.fastEnvelope(), 0x3E10CEE4u},
        {analyzer.slowEnvelope(), 0x3C504E3Eu},      {analyzer.transientEnvelope(), 0x3DF98E5Eu},
        {analyzer.currentLevels().low, 0x3CECCB18u}, {analyzer.currentLevels().high, 0x3F800000u},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(expected[i].first), expected[i].second)
            << "value " << i;
    }
}
