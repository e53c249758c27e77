#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "app/HeadlessRunner.h"
#include "fakes/CapturingLogSink.h"

using namespace jolto;

namespace {

// The runner prints into a temporary file, read back whole.
class HeadlessRunnerTest : public testing::Test, protected ModelPorts {
protected:
    ~HeadlessRunnerTest() override { std::fclose(out); }
    std::string printed() {
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) {
            text += static_cast<char>(c);
        }
        return text;
    }
    std::FILE* out = std::tmpfile();
};

// The runner starts with what the model already knows, then prints one line per change.
TEST_F(HeadlessRunnerTest, PrintsOneParseableLinePerChange) {
    inputAccess = false;
    HostModel model(settings, platform());
    model.handle(HostEvent::Pin{"7310"});
    HeadlessRunner runner(model, out);

    model.handle(HostEvent::Listener{ListenerState::ready(40123)});
    model.handle(HostEvent::Pin{"0042"});
    model.handle(HostEvent::Pin{"0042"});
    // The page's address once per opening: not again while it stays, again after a reopening.
    const HostEvent page =
        HostEvent::WebPage{ListenerState::ready(41234), "http://10.0.0.2:41234/"};
    model.handle(page);
    model.handle(page);
    model.handle(HostEvent::WebPage{ListenerState::failed({}), {}});
    model.handle(page);
    model.handle(HostEvent::PairingPause{std::chrono::seconds(30)});
    const std::string until = model.pairingPausedUntil().toStdString();
    model.handle(HostEvent::PairingPause{std::nullopt});
    const auto tab = client(2, "Tab \"S9\"\n");
    model.handle(HostEvent::Clients{{client(1, "Pixel")}});
    model.handle(HostEvent::Clients{{client(1, "Pixel"), tab}});
    model.handle(HostEvent::Clients{{tab}});
    // A player who takes another number is a leave and a join.
    auto moved = tab;
    moved.playerNumber = 3;
    model.handle(HostEvent::Clients{{moved}});
    model.handle(HostEvent::Advertisement{"The Avahi daemon\nis not running."});
    model.handle(HostEvent::Advertisement{std::nullopt});
    model.handle(HostEvent::Listener{ListenerState::failed("Address in use")});

    EXPECT_EQ(printed(), "listener starting\n"
                         "pin 7310\n"
                         "problem: \"Allow input access so button presses reach your games.\"\n"
                         "listener ready port=40123\n"
                         "pin 0042\n"
                         "web http://10.0.0.2:41234/\n"
                         "web http://10.0.0.2:41234/\n"
                         "pairing paused until=\"" +
                             until +
                             "\"\n"
                             "controller joined player=1 name=\"Pixel\"\n"
                             "controller joined player=2 name=\"Tab \\\"S9\\\"\\n\"\n"
                             "controller left player=1 name=\"Pixel\"\n"
                             "controller left player=2 name=\"Tab \\\"S9\\\"\\n\"\n"
                             "controller joined player=3 name=\"Tab \\\"S9\\\"\\n\"\n"
                             "problem: \"The Avahi daemon\\nis not running.\"\n"
                             "listener failed error=\"Address in use\"\n");
}

TEST(HeadlessRunnerQuoting, EscapesWhatWouldBreakTheLine) {
    EXPECT_EQ(HeadlessRunner::quoted("plain"), "\"plain\"");
    EXPECT_EQ(HeadlessRunner::quoted("a\\b\"c"), "\"a\\\\b\\\"c\"");
    EXPECT_EQ(HeadlessRunner::quoted("x\ty\r\x7F"), "\"x\\x09y\\x0D\\x7F\"");
    EXPECT_EQ(HeadlessRunner::quoted("Grüße 🎮"), "\"Grüße 🎮\"");
}

// A phone's name reaches the log (stderr or journald) through every Logger; none of it may
// start a line of its own.
TEST(LogEscaping, ControlCharactersOfAMessageAreEscaped) {
    ScopedLogCapture log;
    Logger("Server").info("Controller Pixel\njolto-host [Trust] error: \x1B[2J\u0085 Grüße 🎮");
    ASSERT_EQ(log->lines().size(), 1u);
    EXPECT_EQ(log->lines()[0].message,
              "Controller Pixel\\njolto-host [Trust] error: \\x1B[2J\\u0085 Grüße 🎮");
}

} // namespace
