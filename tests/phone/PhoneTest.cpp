#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "PhoneIdentity.h"
#include "PhoneScript.h"
#include "ScriptPlayer.h"

using namespace jolto;
using Action = PhoneScript::Action;
using B = ControllerButton;

TEST(PhoneScript, StepsTakeTheirTimesAndChangeOnlyTheirPartOfTheState) {
    const auto parsed = PhoneScript::parse("# warm-up\n"
                                           "press south dpadUp   # two at once\n"
                                           "wait 0.25\n"
                                           "release SOUTH\n"
                                           "at 1.5 left -1 0.5\n"
                                           "right 0.5 -0.5\n"
                                           "lt 0.75\n"
                                           "rt 1\n"
                                           "gyro 2 3\n"
                                           "ping\n"
                                           "\n"
                                           "neutral\n"
                                           "wait 2\n");
    ASSERT_TRUE(parsed.script) << parsed.error;
    const auto& steps = parsed.script->steps();
    EXPECT_EQ(steps, (std::vector<PhoneScript::Step>{
                         {0, Action::press, {B::south, B::dpadUp}, 0, 0},
                         {0.25, Action::release, {B::south}, 0, 0},
                         {1.5, Action::left, {}, -1, 0.5f},
                         {1.5, Action::right, {}, 0.5f, -0.5f},
                         {1.5, Action::leftTrigger, {}, 0.75f, 0},
                         {1.5, Action::rightTrigger, {}, 1, 0},
                         {1.5, Action::gyro, {}, 2, 3},
                         {1.5, Action::ping, {}, 0, 0},
                         {1.5, Action::neutral, {}, 0, 0},
                     }));
    // The trailing wait holds the last state before the phone leaves.
    EXPECT_EQ(parsed.script->duration(), 3.5);

    ControllerState state;
    for (std::size_t i = 0; i + 1 < steps.size(); ++i) {
        state = PhoneScript::applied(state, steps[i]);
    }
    EXPECT_EQ(state, (ControllerState{{B::dpadUp}, {-1, 0.5f}, {0.5f, -0.5f}, 0.75f, 1, {2, 3}}));
    EXPECT_EQ(PhoneScript::applied(state, steps.back()), ControllerState{});
}

TEST(PhoneScript, MistakesNameTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"press\n", "line 1: press needs at least one button"},
        {"wait 1\npress jump\n", "line 2: unknown button \"jump\""},
        {"at 2 press south\nat 1 release south\n", "line 2: time 1 is before the previous step"},
        {"left 1\n", "line 1: left needs two numbers"},
        {"rt full\n", "line 1: rt needs one number"},
        {"wait -1\n", "line 1: wait needs a number of seconds, 0 or more"},
        {"at 1\n", "line 1: at needs a time and a step"},
        {"jump\n", "line 1: unknown step \"jump\""},
        {"gyro nan 0\n", "line 1: gyro needs two numbers"},
    };
    for (const auto& [text, error] : cases) {
        const auto parsed = PhoneScript::parse(text);
        EXPECT_FALSE(parsed.script) << text;
        EXPECT_EQ(parsed.error, error) << text;
    }
}

// The player is given the clock: a wake-up that comes late still sends each change on its own,
// in order, so a press and its release never cancel out on the wire.
TEST(ScriptPlayer, LateWakeSendsEveryDueChangeInOrder) {
    const auto parsed = PhoneScript::parse("at 0.5 press south\n"
                                           "at 0.53 release south\n"
                                           "at 0.53 release south\n" // no change, nothing sent
                                           "at 0.54 ping\n"
                                           "at 0.6 left 1 0\n"
                                           "at 2 neutral\n");
    ASSERT_TRUE(parsed.script) << parsed.error;
    ScriptPlayer player(*parsed.script);
    using Kind = ScriptPlayer::Output::Kind;

    EXPECT_TRUE(player.advance(0.4).empty());
    EXPECT_EQ(player.nextWake(), 0.5);

    const auto late = player.advance(0.7);
    ASSERT_EQ(late.size(), 4u);
    for (std::size_t i = 0; i < late.size(); ++i) {
        EXPECT_EQ(late[i].kind, i == 2 ? Kind::ping : Kind::state) << i;
    }
    EXPECT_EQ(late[0].state.buttons, ButtonSet{B::south});
    EXPECT_EQ(late[1].state, ControllerState{});
    EXPECT_EQ(late[3].state.leftStick, (StickVector{1, 0}));
    EXPECT_EQ(player.nextWake(), 2);
    EXPECT_FALSE(player.finished(0.7));

    const auto last = player.advance(5);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].state, ControllerState{});
    EXPECT_TRUE(player.finished(5));
}

TEST(PhoneIdentity, MadeOnceKeptPrivateReadBackAndNeverOverwritten) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("jolto-identity-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const auto file = dir / "nested" / "identity.json";
    const auto made = PhoneIdentity::loadOrCreate(file);
    ASSERT_TRUE(made.identity) << made.error;
    EXPECT_TRUE(made.created);
    EXPECT_NE(made.identity->deviceID, made.identity->secret);
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(file).permissions(), perms::owner_read | perms::owner_write);

    const auto again = PhoneIdentity::loadOrCreate(file);
    ASSERT_TRUE(again.identity);
    EXPECT_FALSE(again.created);

    // A file without an identity may be another phone's: refused and left as it is.
    for (const char* text : {"not json", "{\"deviceID\": \"123\", \"secret\": \"456\"}", "[]"}) {
        std::ofstream(file) << text;
        const auto loaded = PhoneIdentity::loadOrCreate(file);
        EXPECT_FALSE(loaded.identity) << text;
        EXPECT_FALSE(loaded.error.empty());
        std::ifstream kept(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator(kept), {}), text);
    }
    std::filesystem::remove_all(dir);
}
