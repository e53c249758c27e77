#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "audio/RumbleAnalyzer.h"

using namespace jolto;

TEST(RumbleAnalyzer, CoefficientFollowsTheRateWithAFloorOf8000Hz) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RumbleAnalyzer().lowPassCoefficient()), 0x3C7F5940u);
    const std::pair<double, float> rates[] = {{48000, 0.0155852437f}, {44100, 0.0169517994f},
                                              {8000, 0.0899427533f},  {4000, 0.0899427533f},
                                              {0, 0.0899427533f},     {-48000, 0.0899427533f},
                                              {NAN, 0.0899427533f}};
    for (const auto& [rate, coefficient] : rates) {
        EXPECT_FLOAT_EQ(RumbleAnalyzer(rate).lowPassCoefficient(), coefficient) << rate;
    }
}

// The levels after each signal, to four decimals, fed as mono 48 kHz blocks.
TEST(RumbleAnalyzer, LevelsOfEachSignal) {
    struct Feed {
        std::vector<float> samples;
        int times = 1;
    };
    const auto constant = [](float value) { return std::vector<float>(480, value); };
    std::vector<float> treble(512);
    for (std::size_t i = 0; i < treble.size(); ++i) {
        treble[i] = float(0.5 * std::sin(2 * std::numbers::pi * 1000 * double(i) / 48000));
    }
    auto poisoned = constant(0.3f);
    poisoned[100] = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        std::vector<Feed> feeds;
        double low, high;
    } cases[] = {
        {"silence", {{constant(0), 5}}, 0, 0},
        {"one constant block", {{constant(0.1f)}}, 0.3776, 0.4748},
        {"a steady signal caught up with its average", {{constant(0.1f), 202}}, 0.8460, 0},
        {"sound dying away", {{constant(0.1f), 3}, {constant(0.02f), 2}}, 0.6519, 0.6303},
        {"a treble onset, no bass", {{treble}}, 0.0098, 1},
        {"beyond full scale", {{constant(2), 3}}, 1, 1},
        // The bass stays poisoned for good; the transient decays by a quarter per block.
        {"not a number", {{constant(0.3f)}, {poisoned}, {constant(0.3f), 10}}, 0, 0.0602},
    };
    for (const auto& c : cases) {
        RumbleAnalyzer analyzer(48000);
        for (const auto& [samples, times] : c.feeds) {
            for (int i = 0; i < times; ++i) {
                analyzer.processInterleaved(samples.data(), std::uint32_t(samples.size()), 1);
            }
        }
        EXPECT_NEAR(analyzer.currentLevels().low, c.low, 0.00005) << c.name;
        EXPECT_NEAR(analyzer.currentLevels().high, c.high, 0.00005) << c.name;
    }
}

// The constants were worked out by hand, rounding each step of the formulas to a 32-bit float:
// a build that fuses `a + k * b` into multiply-adds, reorders sums or widens precision differs.
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
    const std::array<float, 8> values = {
        analyzer.lowPassState(),      analyzer.lowPassState2(),     analyzer.lowEnvelope(),
        analyzer.fastEnvelope(),      analyzer.slowEnvelope(),      analyzer.transientEnvelope(),
        analyzer.currentLevels().low, analyzer.currentLevels().high};
    using Bits = std::array<std::uint32_t, 8>;
    EXPECT_EQ(std::bit_cast<Bits>(values),
              (Bits{0x3C95B9FDu, 0x3C66490Bu, 0x3C16ECBCu, 0x3E10CEE4u, 0x3C504E3Eu, 0x3DF98E5Eu,
                    0x3CECCB18u, 0x3F800000u}));
}
