// The whole program in a real kernel: jolto-host in its headless mode and jolto-phone on
// loopback inside the test guest (tests/kernel/run-in-guest.sh). The phone pairs with the PIN
// the host prints and plays; what the host makes of it is read back from the kernel's own evdev
// nodes, and a game's rumble comes from SDL2, as in a real game.

#include <linux/input.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <SDL.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "GuestSupport.h"
#include "HeadlessHost.h"

using namespace jolto::e2e;
using namespace std::chrono_literals;
using jolto::guest::Fd;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* keyboardMouseName = "JOLTO Host Keyboard and Mouse";

std::filesystem::path makeFolder(const std::string& name) {
    auto path = std::filesystem::temp_directory_path() /
                ("jolto-e2e-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

std::uint64_t microseconds(Clock::time_point t) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

// One evdev event with its kernel timestamp on the monotonic clock, the clock that
// steady_clock and jolto-phone's --trace use too.
struct Event {
    std::uint16_t type = 0;
    std::uint16_t code = 0;
    std::int32_t value = 0;
    std::uint64_t us = 0;
};

class EvdevNode {
public:
    bool open(const std::string& name, Clock::time_point deadline, std::string& error) {
        auto node = jolto::guest::openEventNode(name, deadline);
        if (!node) {
            error = "no evdev node named \"" + name + "\"";
            return false;
        }
        fd_ = std::move(node->first);
        int clock = CLOCK_MONOTONIC;
        if (::ioctl(fd_.get(), EVIOCSCLOCKID, &clock) != 0) {
            error = "EVIOCSCLOCKID failed";
            return false;
        }
        return true;
    }

    int fd() const { return fd_.get(); }

    // Appends what has arrived, waiting at most until `until` for the first event.
    void read(std::vector<Event>& into, Clock::time_point until = {}) {
        pollfd p{fd_.get(), POLLIN, 0};
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, wait.count()))) <= 0) {
            return;
        }
        input_event ev{};
        while (::read(fd_.get(), &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev)) {
            if (ev.type == EV_SYN) {
                continue;
            }
            into.push_back({ev.type, ev.code, ev.value,
                            static_cast<std::uint64_t>(ev.input_event_sec) * 1000000u +
                                static_cast<std::uint64_t>(ev.input_event_usec)});
        }
    }

    // Reads until an event satisfies `matches`; its index in `into`, or nothing by `deadline`.
    template <typename Matches>
    std::optional<std::size_t> readUntil(std::vector<Event>& into, Matches matches,
                                         Clock::time_point deadline) {
        for (std::size_t from = 0;;) {
            for (; from < into.size(); ++from) {
                if (matches(into[from])) {
                    return from;
                }
            }
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            read(into, std::min(deadline, Clock::now() + 50ms));
        }
    }

    // Drops what is waiting.
    void drain() {
        std::vector<Event> ignored;
        read(ignored);
    }

private:
    Fd fd_;
};

std::string keyEvents(const std::vector<Event>& events) {
    std::string text;
    for (const auto& e : events) {
        if (e.type == EV_KEY) {
            text += std::to_string(e.code) + (e.value ? "+ " : "- ");
        }
    }
    return text;
}

// A state the phone sent, from its --trace line.
struct Sent {
    std::uint32_t sequence = 0;
    std::uint32_t buttons = 0;
    std::uint64_t us = 0;
};

std::vector<Sent> sentStates(const ChildProcess& phone) {
    std::vector<Sent> sent;
    for (const auto& l : phone.lines()) {
        Sent s;
        unsigned long long us = 0;
        if (std::sscanf(l.text.c_str(), "state seq=%" SCNu32 " buttons=0x%" SCNx32 " sent_us=%llu",
                        &s.sequence, &s.buttons, &us) == 3) {
            s.us = us;
            sent.push_back(s);
        }
    }
    return sent;
}

std::uint64_t median(std::vector<std::uint64_t> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::uint64_t percentile(std::vector<std::uint64_t> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// The host and the phones of one group of tests, in a folder of their own.
class EndToEnd : public ::testing::Test {
protected:
    static std::unique_ptr<ChildProcess> startPhone(const std::filesystem::path& folder,
                                                    const std::string& name,
                                                    std::vector<std::string> args) {
        std::vector<std::string> argv{JOLTO_PHONE_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        for (std::string option : {"--identity", "--name", "--timeout"}) {
            argv.push_back(option);
            argv.push_back(option == "--identity" ? (folder / (name + ".json")).string()
                           : option == "--name"   ? name
                                                  : "30");
        }
        std::string error;
        auto phone = ChildProcess::start(argv, {}, folder / (name + ".stderr"), error);
        EXPECT_TRUE(phone) << error;
        return phone;
    }

    static std::string writeScript(const std::filesystem::path& folder, const std::string& name,
                                   const std::string& text) {
        const auto path = folder / (name + ".script");
        std::ofstream(path) << text;
        return path.string();
    }

    // Pairs `name` with the host's current PIN; its welcome line.
    static std::string pair(HeadlessHost& host, const std::string& name) {
        const auto pins = host.pinCount();
        auto phone = startPhone(host.folder(), name,
                                {"pair", "127.0.0.1", host.portText(), "--pin", host.pin()});
        if (!phone) {
            return {};
        }
        const auto code = phone->waitForExit(Clock::now() + 60s);
        EXPECT_EQ(code, 0) << phone->transcript();
        host.nextPin(pins, Clock::now() + 5s);
        const auto welcome = phone->waitForPrefix("welcome ", Clock::now());
        return welcome ? phone->lines()[*welcome].text : std::string();
    }
};

// ---------------------------------------------------------------------------------------------
// Keyboard and mouse, the Shooter preset.

class KeyboardMouseEndToEnd : public EndToEnd {
protected:
    static void SetUpTestSuite() {
        if (!jolto::guest::insideGuest()) {
            return;
        }
        folder_ = makeFolder("keyboard");
        host_ = std::make_unique<HeadlessHost>();
        if (!host_->start(JOLTO_HOST_PROGRAM, folder_,
                          R"({"outputMode": "keyboardMouse", "rumbleFromAudio": false})",
                          setupError_)) {
            return;
        }
        node_ = std::make_unique<EvdevNode>();
        if (!node_->open(keyboardMouseName, Clock::now() + 30s, setupError_)) {
            return;
        }
        const auto welcome = pair(*host_, "phone1");
        if (welcome.rfind("welcome status=accepted ", 0) != 0) {
            setupError_ = "pairing failed: " + welcome;
        }
    }

    static void TearDownTestSuite() {
        if (host_ && host_->hasProcess() && host_->process().running()) {
            EXPECT_EQ(host_->process().stop(), 0) << host_->process().transcript();
        }
        node_.reset();
        host_.reset();
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }

    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        ASSERT_EQ(setupError_, "");
        node_->drain();
    }

    // Plays `script` as phone 1 (trusted by now) and returns every event the device produced
    // while it ran, and the phone.
    std::unique_ptr<ChildProcess> play(const std::string& script, std::vector<Event>& events,
                                       std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"play", "127.0.0.1", host_->portText(), "--script",
                                      writeScript(folder_, "play", script)};
        args.insert(args.end(), extra.begin(), extra.end());
        auto phone = startPhone(folder_, "phone1", args);
        if (!phone) {
            return phone;
        }
        const auto deadline = Clock::now() + 120s;
        while (phone->running() && Clock::now() < deadline) {
            node_->read(events, Clock::now() + 20ms);
            phone->readOutput();
        }
        EXPECT_EQ(phone->waitForExit(Clock::now()), 0) << phone->transcript();
        // The goodbye's release, if any, follows the phone's exit.
        node_->read(events, Clock::now() + 300ms);
        return phone;
    }

    static inline std::filesystem::path folder_;
    static inline std::unique_ptr<HeadlessHost> host_;
    static inline std::unique_ptr<EvdevNode> node_;
    static inline std::string setupError_;
};

TEST_F(KeyboardMouseEndToEnd, ShooterPresetTypesKeysClicksAndMovesThePointer) {
    std::vector<Event> events;
    auto phone = play("press south\nwait 0.25\nrelease south\nwait 0.25\n"
                      "left 0 1\nwait 0.25\nleft -1 0\nwait 0.25\n"
                      "left 0 -1\nwait 0.25\nleft 1 0\nwait 0.25\nneutral\nwait 0.25\n"
                      "press rightTrigger\nrt 1\nwait 0.25\nrelease rightTrigger\nrt 0\nwait 0.25\n"
                      "right 1 0\nwait 0.4\nright 0 0\nwait 0.25\n",
                      events);
    ASSERT_TRUE(phone);

    // South → Space; the left stick → W, A, S, D one after the other (each released before the
    // next goes down); the right trigger → the left mouse button.
    const std::string expected =
        std::to_string(KEY_SPACE) + "+ " + std::to_string(KEY_SPACE) + "- " +
        std::to_string(KEY_W) + "+ " + std::to_string(KEY_W) + "- " + std::to_string(KEY_A) + "+ " +
        std::to_string(KEY_A) + "- " + std::to_string(KEY_S) + "+ " + std::to_string(KEY_S) + "- " +
        std::to_string(KEY_D) + "+ " + std::to_string(KEY_D) + "- " + std::to_string(BTN_LEFT) +
        "+ " + std::to_string(BTN_LEFT) + "- ";
    EXPECT_EQ(keyEvents(events), expected) << "(codes: Space 57, W 17, A 30, S 31, D 32, left "
                                              "button 272)";

    // The right stick pushed right for 0.4 s at the preset's 1400 points a second: the pointer
    // goes right only, by some hundreds of points.
    std::int64_t dx = 0, dy = 0, motions = 0;
    for (const auto& e : events) {
        if (e.type == EV_REL && e.code == REL_X) {
            dx += e.value;
            ++motions;
        } else if (e.type == EV_REL && e.code == REL_Y) {
            dy += e.value;
        }
    }
    // Loose bounds: the host integrates the time it saw the stick held, which a loaded machine
    // stretches or shortens.
    EXPECT_GT(motions, 0);
    EXPECT_GT(dx, 50);
    EXPECT_LT(dx, 2800);
    EXPECT_EQ(dy, 0);
}

TEST_F(KeyboardMouseEndToEnd, SilentPhoneHasItsKeyReleasedAfterASecond) {
    auto phone = startPhone(folder_, "phone1",
                            {"play", "127.0.0.1", host_->portText(), "--trace", "--script",
                             writeScript(folder_, "hold", "press south\nwait 120\n")});
    ASSERT_TRUE(phone);
    std::vector<Event> events;
    const auto pressed = node_->readUntil(
        events,
        [](const Event& e) { return e.type == EV_KEY && e.code == KEY_SPACE && e.value == 1; },
        Clock::now() + 60s);
    ASSERT_TRUE(pressed) << phone->transcript();
    // A few keepalives, then silence: killed, the phone cannot say goodbye.
    ASSERT_TRUE(phone->waitForLine(
        [](const std::string& l) { return l.rfind("state seq=3 ", 0) == 0; }, Clock::now() + 30s))
        << phone->transcript();
    phone->signal(SIGKILL);
    phone->waitForExit(Clock::now() + 10s);
    const auto sent = sentStates(*phone);
    ASSERT_FALSE(sent.empty());

    // Released at the first watchdog pass after a second of silence, long before the client
    // is dropped at 15 s.
    const auto released = node_->readUntil(
        events,
        [](const Event& e) { return e.type == EV_KEY && e.code == KEY_SPACE && e.value == 0; },
        Clock::now() + 14s);
    ASSERT_TRUE(released) << "Space still held 14 s after the phone fell silent";
    const double silence = static_cast<double>(events[*released].us - sent.back().us) / 1e6;
    std::printf("silence: Space released %.3f s after the phone's last state\n", silence);
    RecordProperty("silence_release_ms", static_cast<int>(silence * 1000));
    EXPECT_GE(silence, 1.0) << "released before a second of silence";
    EXPECT_LT(silence, 5.0);
}

TEST_F(KeyboardMouseEndToEnd, PressToEvdevLatency) {
    constexpr int presses = 250;
    std::string script;
    for (int i = 0; i < presses; ++i) {
        script += "press south\nwait 0.03\nrelease south\nwait 0.03\n";
    }
    std::vector<Event> events;
    auto phone = play(script, events, {"--trace"});
    ASSERT_TRUE(phone);

    // South's edges in the order the phone sent them, and Space's in the order evdev saw them.
    std::vector<std::pair<bool, std::uint64_t>> edges;
    bool down = false;
    for (const auto& s : sentStates(*phone)) {
        const bool south = (s.buttons & 1u) != 0;
        if (south != down) {
            edges.emplace_back(south, s.us);
            down = south;
        }
    }
    std::vector<const Event*> keys;
    for (const auto& e : events) {
        if (e.type == EV_KEY && e.code == KEY_SPACE) {
            keys.push_back(&e);
        }
    }
    ASSERT_EQ(edges.size(), 2u * presses);
    // Every press and release arrives, in order, and none before it was sent.
    ASSERT_EQ(keys.size(), edges.size()) << keyEvents(events);
    std::vector<std::uint64_t> pressLatency, allLatency;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        ASSERT_EQ(keys[i]->value == 1, edges[i].first) << "edge " << i;
        ASSERT_GE(keys[i]->us, edges[i].second) << "edge " << i << " seen before it was sent";
        const auto latency = keys[i]->us - edges[i].second;
        allLatency.push_back(latency);
        if (edges[i].first) {
            pressLatency.push_back(latency);
        }
    }
    std::printf("latency: phone send to evdev event over %zu presses: median %" PRIu64
                " us, 90th percentile %" PRIu64 " us, max %" PRIu64 " us (releases included: "
                "median %" PRIu64 " us over %zu edges)\n",
                pressLatency.size(), median(pressLatency), percentile(pressLatency, 0.9),
                percentile(pressLatency, 1.0), median(allLatency), allLatency.size());
    RecordProperty("press_latency_median_us", static_cast<int>(median(pressLatency)));
}

// ---------------------------------------------------------------------------------------------
// Virtual gamepads.

class GamepadEndToEnd : public EndToEnd {
protected:
    static void SetUpTestSuite() {
        if (!jolto::guest::insideGuest()) {
            return;
        }
        folder_ = makeFolder("gamepad");
        host_ = std::make_unique<HeadlessHost>();
        host_->start(JOLTO_HOST_PROGRAM, folder_,
                     R"({"outputMode": "gamepad", "rumbleFromAudio": false})", setupError_);
    }

    static void TearDownTestSuite() {
        if (host_ && host_->hasProcess() && host_->process().running()) {
            EXPECT_EQ(host_->process().stop(), 0) << host_->process().transcript();
        }
        host_.reset();
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }

    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        ASSERT_EQ(setupError_, "");
    }

    // A phone that pairs with the current PIN (unless it is trusted already) and then stays,
    // toggling south every 0.2 s, until it is stopped.
    std::unique_ptr<ChildProcess> joinAndStay(const std::string& name, bool withPin) {
        std::string script;
        for (int i = 0; i < 300; ++i) {
            script += "press south\nwait 0.2\nrelease south\nwait 0.2\n";
        }
        std::vector<std::string> args{"play", "127.0.0.1", host_->portText(), "--script",
                                      writeScript(folder_, "toggle", script)};
        if (withPin) {
            args.push_back("--pin");
            args.push_back(host_->pin());
        }
        return startPhone(folder_, name, args);
    }

    static std::optional<std::string> welcome(ChildProcess& phone) {
        const auto line = phone.waitForPrefix("welcome ", Clock::now() + 60s);
        if (!line) {
            return std::nullopt;
        }
        return phone.lines()[*line].text;
    }

    static inline std::filesystem::path folder_;
    static inline std::unique_ptr<HeadlessHost> host_;
    static inline std::string setupError_;
};

TEST_F(GamepadEndToEnd, PressesReachControllerOneAndSdlRumbleReachesThePhone) {
    auto phone = joinAndStay("phone1", true);
    ASSERT_TRUE(phone);
    const auto accepted = welcome(*phone);
    ASSERT_TRUE(accepted) << phone->transcript();
    EXPECT_EQ(accepted->rfind("welcome status=accepted ", 0), 0u) << *accepted;
    EXPECT_NE(accepted->find(" player=1 "), std::string::npos) << *accepted;

    EvdevNode node;
    std::string error;
    ASSERT_TRUE(node.open("JOLTO Controller 1", Clock::now() + 30s, error))
        << error << "\n"
        << host_->process().transcript();
    std::vector<Event> events;
    const auto isSouth = [](int value) {
        return [value](const Event& e) {
            return e.type == EV_KEY && e.code == BTN_SOUTH && e.value == value;
        };
    };
    const auto press = node.readUntil(events, isSouth(1), Clock::now() + 30s);
    ASSERT_TRUE(press) << "no BTN_SOUTH press on JOLTO Controller 1";
    EXPECT_TRUE(node.readUntil(events, isSouth(0), Clock::now() + 30s)) << "no release";

    // A game's rumble through SDL (no mapping): full strong motor, a quarter weak one, 0.5 s.
    // SDL ends it itself from its event pump; the phone then gets one closing (0, 0) packet.
    setenv("SDL_JOYSTICK_DISABLE_UDEV", "1", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    ASSERT_EQ(SDL_Init(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
    SDL_GameController* pad = nullptr;
    for (auto until = Clock::now() + 10s; !pad && Clock::now() < until; SDL_Delay(20)) {
        SDL_PumpEvents();
        for (int i = 0; i < SDL_NumJoysticks() && !pad; ++i) {
            const char* name = SDL_JoystickNameForIndex(i);
            if (name && std::string(name) == "JOLTO Controller 1" && SDL_IsGameController(i)) {
                pad = SDL_GameControllerOpen(i);
            }
        }
    }
    ASSERT_NE(pad, nullptr) << "SDL has no game controller JOLTO Controller 1";
    phone->readOutput();
    const std::size_t before = phone->lines().size();
    ASSERT_EQ(SDL_GameControllerRumble(pad, 0xFFFF, 0x4000, 500), 0) << SDL_GetError();
    for (auto until = Clock::now() + 1500ms; Clock::now() < until; SDL_Delay(5)) {
        SDL_GameControllerUpdate();
        phone->readOutput(Clock::now() + 1ms);
    }
    SDL_GameControllerClose(pad);
    SDL_Quit();
    const auto settleUntil = Clock::now() + 500ms;
    while (Clock::now() < settleUntil) {
        phone->readOutput(settleUntil);
    }

    const std::string strong = "rumble low=255 high=64 duration=200";
    const std::string closing = "rumble low=0 high=0 duration=200";
    std::vector<const ChildProcess::Line*> rumble;
    for (std::size_t i = before; i < phone->lines().size(); ++i) {
        if (phone->lines()[i].text.rfind("rumble ", 0) == 0) {
            rumble.push_back(&phone->lines()[i]);
        }
    }
    ASSERT_GE(rumble.size(), 3u) << phone->transcript();
    std::vector<std::uint64_t> gaps;
    for (std::size_t i = 0; i + 1 < rumble.size(); ++i) {
        EXPECT_EQ(rumble[i]->text, strong) << "packet " << i;
        if (i > 0) {
            gaps.push_back(microseconds(rumble[i]->readAt) - microseconds(rumble[i - 1]->readAt));
        }
    }
    EXPECT_EQ(rumble.back()->text, closing) << "the last packet, and the only closing one";
    const double lasted =
        static_cast<double>(microseconds(rumble.back()->readAt) - microseconds(rumble[0]->readAt)) /
        1000;
    std::printf("rumble: %zu packets of 255/64 over %.0f ms, median interval %.1f ms, then 0 0\n",
                rumble.size() - 1, lasted, static_cast<double>(median(gaps)) / 1000);
    // A packet every 33 ms for about half a second; each asks for 200 ms, so fewer than five
    // a second would let the phone stop early.
    EXPECT_GT(lasted, 400.0);
    EXPECT_LT(lasted, 800.0);
    EXPECT_GT(median(gaps), 15000u);
    EXPECT_LT(median(gaps), 100000u);

    EXPECT_EQ(phone->stop(), 0) << phone->transcript();
    EXPECT_TRUE(jolto::guest::waitUntilGone("JOLTO Controller 1"))
        << "the gamepad outlived its phone";
}

TEST_F(GamepadEndToEnd, FourPlayersJoinAndAFifthPhoneIsRefused) {
    host_->process().readOutput();
    const std::size_t hostLinesBefore = host_->process().lines().size();
    std::vector<std::unique_ptr<ChildProcess>> phones;
    for (int player = 1; player <= 4; ++player) {
        const std::string name = "phone" + std::to_string(player);
        // Phone 1 paired in the test before; the others pair now, each with the PIN the host
        // shows after the previous pairing.
        const bool trusted = std::filesystem::exists(folder_ / (name + ".json"));
        const auto pins = host_->pinCount();
        phones.push_back(joinAndStay(name, !trusted));
        ASSERT_TRUE(phones.back());
        const auto accepted = welcome(*phones.back());
        ASSERT_TRUE(accepted) << phones.back()->transcript();
        EXPECT_EQ(accepted->rfind("welcome status=accepted ", 0), 0u) << *accepted;
        EXPECT_NE(accepted->find(" player=" + std::to_string(player) + " "), std::string::npos)
            << *accepted;
        if (!trusted) {
            host_->nextPin(pins, Clock::now() + 10s);
        }
        EvdevNode node;
        std::string error;
        EXPECT_TRUE(
            node.open("JOLTO Controller " + std::to_string(player), Clock::now() + 30s, error))
            << error;
    }
    EXPECT_TRUE(host_->process().waitForLine(
        [](const std::string& l) { return l.rfind("controller joined player=4 ", 0) == 0; },
        Clock::now() + 10s, hostLinesBefore))
        << host_->process().transcript();

    // The fifth has the right PIN, and is refused all the same.
    auto fifth = startPhone(folder_, "phone5",
                            {"pair", "127.0.0.1", host_->portText(), "--pin", host_->pin()});
    ASSERT_TRUE(fifth);
    EXPECT_EQ(fifth->waitForExit(Clock::now() + 60s), 3) << fifth->transcript();
    EXPECT_TRUE(fifth->waitForLine(
        [](const std::string& l) {
            return l.rfind("welcome status=hostFull session=0 player=0 ", 0) == 0;
        },
        Clock::now()))
        << fifth->transcript();

    for (auto& phone : phones) {
        EXPECT_EQ(phone->stop(), 0) << phone->transcript();
    }
    for (int player = 1; player <= 4; ++player) {
        EXPECT_TRUE(host_->process().waitForLine(
            [&](const std::string& l) {
                return l.rfind("controller left player=" + std::to_string(player) + " ", 0) == 0;
            },
            Clock::now() + 10s, hostLinesBefore))
            << "player " << player;
    }
}

} // namespace
