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
    const double tolerance = 0.5 * std::pow(10.0, -decimals);
    if (std::abs(double(value) - std::stod(expected)) <= tolerance) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << value << " does not round to " << expected;
}

std::vector<float> constant(std::size_t count, float value) {
    return std::vector<float>(count, value);
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

void expectLevelsInRange(const RumbleAnalyzer& analyzer) {
    const RumbleLevels levels = analyzer.currentLevels();
    EXPECT_TRUE(levels.low >= 0 && levels.low <= 1) << levels.low;
    EXPECT_TRUE(levels.high >= 0 && levels.high <= 1) << levels.high;
}

} // namespace

TEST(RumbleAnalyzer, CoefficientFollowsTheRateWithAFloorOf8000Hz) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RumbleAnalyzer().lowPassCoefficient()), 0x3C7F5940u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RumbleAnalyzer(48000).lowPassCoefficient()),
              0x3C7F5940u);
    EXPECT_TRUE(roundsTo(RumbleAnalyzer(48000).lowPassCoefficient(), "0.015585244"));
    EXPECT_TRUE(roundsTo(RumbleAnalyzer(44100).lowPassCoefficient(), "0.0169518"));
    const float at8000 = RumbleAnalyzer(8000).lowPassCoefficient();
    EXPECT_TRUE(roundsTo(at8000, "0.0899428"));
    EXPECT_EQ(RumbleAnalyzer(4000).lowPassCoefficient(), at8000);
    EXPECT_EQ(RumbleAnalyzer(0).lowPassCoefficient(), at8000);
    EXPECT_EQ(RumbleAnalyzer(-48000).lowPassCoefficient(), at8000);
    EXPECT_EQ(RumbleAnalyzer(std::numeric_limits<double>::quiet_NaN()).lowPassCoefficient(),
              at8000);
}

TEST(RumbleAnalyzer, StaysAtZeroInSilence) {
    RumbleAnalyzer analyzer;
    EXPECT_EQ(analyzer.currentLevels(), (RumbleLevels{0, 0}));
    for (int i = 0; i < 10; ++i) {
        feedMono(analyzer, constant(480, 0.0f));
    }
    EXPECT_EQ(analyzer.currentLevels(), (RumbleLevels{0, 0}));
    EXPECT_EQ(analyzer.lowEnvelope(), 0.0f);
    EXPECT_EQ(analyzer.transientEnvelope(), 0.0f);
}

TEST(RumbleAnalyzer, ConstantBlocksRiseThenTheTransientDiesAway) {
    RumbleAnalyzer analyzer(48000);
    const auto block = constant(480, 0.1f);

    feedMono(analyzer, block);
    EXPECT_TRUE(roundsTo(analyzer.lowEnvelope(), "0.04795"));
    EXPECT_TRUE(roundsTo(analyzer.fastEnvelope(), "0.07000"));
    EXPECT_TRUE(roundsTo(analyzer.slowEnvelope(), "0.00300"));
    EXPECT_TRUE(roundsTo(analyzer.transientEnvelope(), "0.05276"));
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().low, "0.3776"));
    EXPECT_TRUE(roundsTo(analyzer.currentLevels().high, "0.4748"));
    // Reading changes nothing.
    EXPECT_EQ(analyzer.currentLevels(), analyzer.currentLevels());

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

TEST(RumbleAnalyzer, EqualAndOppositeStereoMixesToNothing) {
    std::vector<float> stereo;
    for (float s : sine(480, 60, 0.9, 48000)) {
        stereo.push_back(s);
        stereo.push_back(-s);
    }
    RumbleAnalyzer analyzer;
    for (int i = 0; i < 5; ++i) {
        analyzer.processInterleaved(stereo.data(), 480, 2);
    }
    EXPECT_EQ(analyzer.lowPassState2(), 0.0f);
    EXPECT_EQ(analyzer.fastEnvelope(), 0.0f);
    EXPECT_EQ(analyzer.currentLevels(), (RumbleLevels{0, 0}));
}

TEST(RumbleAnalyzer, PlanarAndInterleavedAgreeToTheBit) {
    // Three channels exercise the general mix; the channels differ so the average matters.
    const auto a = sine(300, 50, 0.7, 44100);
    const auto b = sine(300, 3000, 0.2, 44100);
    const auto c = constant(300, -0.05f);
    std::vector<float> interleaved;
    for (std::size_t i = 0; i < 300; ++i) {
        interleaved.insert(interleaved.end(), {a[i], b[i], c[i]});
    }
    RumbleAnalyzer fromInterleaved(44100);
    RumbleAnalyzer fromPlanar(44100);
    const float* channels[] = {a.data(), b.data(), c.data()};
    for (int i = 0; i < 3; ++i) {
        fromInterleaved.processInterleaved(interleaved.data(), 300, 3);
        fromPlanar.processPlanar(channels, 300);
    }
    EXPECT_EQ(fromInterleaved.lowPassState2(), fromPlanar.lowPassState2());
    EXPECT_EQ(fromInterleaved.lowEnvelope(), fromPlanar.lowEnvelope());
    EXPECT_EQ(fromInterleaved.transientEnvelope(), fromPlanar.transientEnvelope());
    EXPECT_GT(fromInterleaved.currentLevels().low, 0.0f);

    // The stereo fast path mixes the same way as the general one.
    std::vector<float> stereo;
    for (std::size_t i = 0; i < 300; ++i) {
        stereo.insert(stereo.end(), {a[i], b[i]});
    }
    RumbleAnalyzer fromStereo(44100);
    RumbleAnalyzer fromTwoPlanes(44100);
    const float* two[] = {a.data(), b.data()};
    fromStereo.processInterleaved(stereo.data(), 300, 2);
    fromTwoPlanes.processPlanar(two, 300);
    EXPECT_EQ(fromStereo.lowPassState(), fromTwoPlanes.lowPassState());
    EXPECT_EQ(fromStereo.fastEnvelope(), fromTwoPlanes.fastEnvelope());
}

TEST(RumbleAnalyzer, LevelsStayWithinZeroAndOneForAnyAmplitude) {
    const float max = std::numeric_limits<float>::max();
    const float inf = std::numeric_limits<float>::infinity();
    for (float amplitude : {2.0f, 1e6f, 1e19f, 1e30f, max}) {
        RumbleAnalyzer analyzer;
        for (int i = 0; i < 20; ++i) {
            // Alternate loud and quiet blocks so every envelope moves both ways.
            feedMono(analyzer, sine(480, i % 2 ? 40 : 2000, i % 3 ? amplitude : 0.001, 48000));
            expectLevelsInRange(analyzer);
        }
        std::vector<float> clipping{max, max, -max, inf, -inf, max};
        analyzer.processInterleaved(clipping.data(), 3, 2);
        expectLevelsInRange(analyzer);
    }
}

TEST(RumbleAnalyzer, NotANumberPoisonsForGoodAndOnlyANewAnalyzerRecovers) {
    RumbleAnalyzer analyzer;
    const auto loud = constant(480, 0.3f);
    feedMono(analyzer, loud);
    ASSERT_GT(analyzer.currentLevels().low, 0.5f);
    ASSERT_GT(analyzer.currentLevels().high, 0.5f);

    auto poisoned = loud;
    poisoned[100] = std::numeric_limits<float>::quiet_NaN();
    feedMono(analyzer, poisoned);
    EXPECT_TRUE(std::isnan(analyzer.lowPassState()));
    EXPECT_TRUE(std::isnan(analyzer.lowPassState2()));
    EXPECT_TRUE(std::isnan(analyzer.lowEnvelope()));
    EXPECT_TRUE(std::isnan(analyzer.fastEnvelope()));
    EXPECT_TRUE(std::isnan(analyzer.slowEnvelope()));
    EXPECT_FALSE(std::isnan(analyzer.transientEnvelope()));
    EXPECT_EQ(analyzer.currentLevels().low, 0.0f);

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
    EXPECT_TRUE(std::isnan(analyzer.lowEnvelope()));

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
