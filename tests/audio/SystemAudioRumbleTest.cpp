#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/FakeAudioCapture.h"
#include "audio/RumbleAnalyzer.h"
#include "audio/SystemAudioRumble.h"
#include "fakes/CapturingLogSink.h"

using namespace jolto;
using namespace std::chrono_literals;
using testing::ElementsAre;

namespace {

// A sound server that answers from a script and notes what it was asked, in order, as words.
struct FakeServer {
    std::string calls;
    std::int32_t connectStatus = 0;
    AudioCapture::Result<std::string> defaultOutput{0, "speakers"};
    AudioCapture::Result<AudioCapture::Output> output{0, {"speakers.monitor", {48000, 2}}};
    std::int32_t openStatus = 0;
    AudioCapture::Format delivered{48000, 2, true, true, 5};
    std::int32_t startStatus = 0;
    bool watchSucceeds = true;

    AudioCapture::Format requested;
    AudioCapture::InputHandler onInput;
    AudioCapture::PauseHandler onPause;
    AudioCapture::ChangeHandler onChange;
};

class FakeCapture final : public AudioCapture {
public:
    explicit FakeCapture(std::shared_ptr<FakeServer> server) : s_(std::move(server)) {}

    std::int32_t connect() override { return note("connect", s_->connectStatus); }
    Result<std::string> defaultOutput() override { return note("default", 0), s_->defaultOutput; }
    Result<Output> describeOutput(const std::string& name) override {
        return note("describe:" + name, 0), s_->output;
    }
    std::int32_t openStream(const std::string& source, const Format& format, InputHandler onInput,
                            PauseHandler onPause) override {
        s_->requested = format;
        s_->onInput = std::move(onInput);
        s_->onPause = std::move(onPause);
        return note("open:" + source, s_->openStatus);
    }
    Format streamFormat() const override { return s_->delivered; }
    std::int32_t startStream() override { return note("start", s_->startStatus); }
    bool watchDefaultOutput(ChangeHandler onChange) override {
        s_->onChange = s_->watchSucceeds ? std::move(onChange) : nullptr;
        return note("watch", s_->watchSucceeds) != 0;
    }
    void unwatchDefaultOutput() override { note("unwatch", 0); }
    void stopStream() override { note("stop", 0); }
    void closeStream() override { note("close", 0); }
    void disconnect() override { note("disconnect", 0); }
    // Audio may flow as soon as the stream starts: the analyser must be ready before.
    void runOnCaptureContext(const std::function<void()>& work) override {
        note("configure", 0), work();
    }

private:
    std::int32_t note(const std::string& call, std::int32_t status) {
        s_->calls += (s_->calls.empty() ? "" : " ") + call;
        return status;
    }
    std::shared_ptr<FakeServer> s_;
};

class SystemAudioRumbleTest : public testing::Test {
protected:
    std::unique_ptr<SystemAudioRumble> make() {
        return std::make_unique<SystemAudioRumble>(
            std::make_unique<FakeCapture>(server),
            [this](RumbleLevels l) { published.push_back(l); }, [this] { ++deviceChanges; }, clock);
    }

    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    ScopedLogCapture log;
    std::vector<RumbleLevels> published;
    int deviceChanges = 0;
};

const RumbleLevels zero{0, 0};

// Switches LC_NUMERIC to German, where 1.5 is written "1,5", compiled into a temporary folder
// when the system has not installed it. False when neither works.
bool useCommaLocale() {
    const std::string folder = testing::TempDir() + "jolto-locale";
    const std::string make = "mkdir -p " + folder + " && localedef -i de_DE -f UTF-8 " + folder +
                             "/de_DE.UTF-8 >/dev/null 2>&1"; // may warn and still build it
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && std::system(make.c_str()) >= 0) {
        setenv("LOCPATH", folder.c_str(), 1);
    }
    return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

} // namespace

constexpr const char* built = "connect default describe:speakers open:speakers.monitor configure "
                              "start watch";
constexpr const char* teardown = "unwatch stop close disconnect";

// Each step in order, and each that can fail: what start says, and what destruction tears down
// after it, in reverse, publishing one zero. Stereo floats are asked for whatever the output's
// layout, the server downmixing; the rate is logged the same in a locale whose decimal mark is
// a comma. The watch holds only the callback, so it is harmless even after the object is gone.
TEST_F(SystemAudioRumbleTest, AFailedStepIsNamedAndWhatWasBuiltIsLeftForStop) {
    using S = FakeServer&;
    const struct {
        void (*script)(FakeServer&);
        const char* failure; // none: started
        const char* teardown;
    } cases[] = {
        {[](S s) { s.output.value.format.channels = 6; }, nullptr, teardown},
        {[](S s) { s.connectStatus = 6; }, "connect to the sound server (error 6)", ""},
        {[](S s) { s.defaultOutput.status = 8; }, "find the audio output (error 8)", "disconnect"},
        {[](S s) { s.defaultOutput.value.clear(); }, "find the audio output (error -1)",
         "disconnect"},
        {[](S s) { s.output.status = 5; }, "identify the audio output (error 5)", "disconnect"},
        {[](S s) { s.output.value.monitorSource.clear(); }, "identify the audio output (error -1)",
         "disconnect"},
        {[](S s) { s.output.value.format.channels = 0; }, "read the audio format (error -1)",
         "disconnect"},
        {[](S s) { s.output.value.format.sampleRate = 0; }, "read the audio format (error -1)",
         "disconnect"},
        {[](S s) { s.openStatus = 3; }, "listen to system audio (error 3)", "disconnect"},
        {[](S s) {
             s.delivered = {48000, 2, false, true, 3};
         },
         "use the system audio format (error 3)", "stop close disconnect"},
        {[](S s) { s.startStatus = -1; }, "start listening (error -1)", "stop close disconnect"},
        // A failed watch is no failure, and is not undone.
        {[](S s) { s.watchSucceeds = false; }, nullptr, "stop close disconnect"},
    };
    if (!useCommaLocale()) {
        std::printf("no German locale (localedef failed): the rate is printed in the C locale\n");
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        server = std::make_shared<FakeServer>();
        c.script(*server);
        published.clear();
        auto rumble = make();
        EXPECT_TRUE(published.empty());
        const auto error = rumble->start();
        EXPECT_EQ(error ? error->description() : "",
                  c.failure ? "Couldn't " + std::string(c.failure) + "." : "");
        if (!error) {
            EXPECT_EQ(server->calls, built);
            const auto& r = server->requested;
            EXPECT_EQ(std::tie(r.sampleRate, r.channels, r.isFloat), std::tuple(48000.0, 2u, true));
            EXPECT_EQ(log->lines().at(0).message,
                      "System audio rumble started at 48000.000000 Hz, 2 ch");
        }
        EXPECT_EQ(log->lines().size(), error ? 0u : 1u);
        log->clear();
        server->calls.clear();
        published.clear();
        rumble.reset();
        EXPECT_EQ(server->calls, c.teardown);
        EXPECT_THAT(published, ElementsAre(zero));
        if (server->onChange) {
            server->onChange();
        }
    }
    EXPECT_EQ(deviceChanges, 1);
    std::setlocale(LC_NUMERIC, "C");
}

// What the analyser is fed: whole frames from the byte size, the average of the channels that
// have data, read no further than the shortest; each start a fresh analyser at the stream rate.
// Each case starts anew on the same object, then makes its deliveries 20 ms apart.
TEST_F(SystemAudioRumbleTest, EachStartFeedsAFreshAnalyserWholeFramesOfTheMix) {
    const std::vector<float> loud(1200, 0.3f), quiet(1200, -0.1f),
        nan(1200, std::numeric_limits<float>::quiet_NaN());
    std::vector<float> mixed;
    for (int i = 0; i < 400; ++i) {
        mixed.insert(mixed.end(), {0.3f, -0.1f, 0.2f});
    }
    const struct {
        AudioCapture::Format format;
        std::vector<std::vector<AudioCapture::Buffer>> deliveries;
        std::vector<std::pair<float, std::uint32_t>> mono; // what the analyser must have seen
        std::size_t published;
    } cases[] = {
        // 4096 bytes: 512 stereo frames. Less than one frame is not analysed, but still publishes
        // the unchanged levels.
        {{48000, 2, true, true}, {{{quiet.data(), 4096}}, {{nan.data(), 7}}}, {{-0.1f, 512}}, 2},
        // The general mix of more channels.
        {{44100, 3, true, true},
         {{{mixed.data(), 4800}}},
         {{(0.0f + 0.3f + -0.1f + 0.2f) / 3.0f, 400}},
         1},
        {{8000, 1, true, true}, {{{quiet.data(), 1920}}}, {{-0.1f, 480}}, 1},
        // A delivery without any data publishes nothing, even when due.
        {{48000, 2, true, false},
         {{{nullptr, 4096}, {loud.data(), 2048}, {quiet.data(), 2400}}, {{nullptr, 2048}}, {}},
         {{(0.0f + 0.3f + -0.1f) / 2.0f, 512}},
         1},
    };
    auto rumble = make();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        server->delivered = c.format;
        ASSERT_EQ(rumble->start(), std::nullopt);
        published.clear();
        for (const auto& delivery : c.deliveries) {
            clock->advance(20ms);
            server->onInput(delivery);
        }
        RumbleAnalyzer reference(c.format.sampleRate);
        for (const auto& [mix, frames] : c.mono) {
            const std::vector<float> block(frames, mix);
            reference.processInterleaved(block.data(), frames, 1);
        }
        ASSERT_EQ(published.size(), c.published);
        EXPECT_EQ(published.back(), reference.currentLevels());
    }
}

// The publish rule. A script of steps, each the milliseconds the clock moves and then what
// happens: L a loud buffer, s a silent one, p a pause of the stream, r a restart of the
// capture; "*n" repeats a step n times. What was published is written L (active), q (quiet,
// not zero) or 0 (both zero) and matched against a pattern.
TEST_F(SystemAudioRumbleTest, PublishRuleAroundSilenceRestartsAndPauses) {
    const std::pair<const char*, const char*> cases[] = {
        // At most every 16 ms, creation counting as the last publish, and so does a pause's zero.
        {"10L", ""},
        {"10L 10L 10s 6L", "LL"},
        {"20L 10p 10L", "L0"},
        // Sound dies away: published until the first quiet levels, then nothing until sound.
        {"20L 16s*100 16L", "L+[q0]L"},
        // Silence published nothing, so it does not hold back the next sound.
        {"20s 10L", "L"},
        // A new format starts from rest: silence after a restart is not news.
        {"20L 0r 20s", "L0"},
        // A pause zeroes at once, once; what the analyser held is not replayed afterwards.
        {"20L 1p 1p 20s 20s 20L", "L0L"},
        {"20p 20s", ""},
    };
    for (const auto& [script, pattern] : cases) {
        SCOPED_TRACE(script);
        auto rumble = make();
        ASSERT_EQ(rumble->start(), std::nullopt);
        published.clear();
        const std::vector<float> loud(960, 0.3f), silent(960, 0.0f);
        std::istringstream steps(script);
        for (std::string step; steps >> step;) {
            int after = 0, times = 1;
            char action = 0;
            std::sscanf(step.c_str(), "%d%c*%d", &after, &action, &times);
            for (int i = 0; i < times; ++i) {
                clock->advance(std::chrono::milliseconds(after));
                if (action == 'L' || action == 's') {
                    const AudioCapture::Buffer buffer{(action == 'L' ? loud : silent).data(), 3840};
                    server->onInput(std::span(&buffer, 1));
                } else if (action == 'p') {
                    server->onPause();
                } else {
                    ASSERT_EQ(rumble->start(), std::nullopt);
                }
            }
        }
        std::string seen;
        for (const auto& l : published) {
            seen += l.isActive() ? "L" : l == zero ? "0" : "q";
        }
        EXPECT_THAT(seen, testing::MatchesRegex(pattern));
    }
}
