// The gamepad that games see, VirtualGamepad over UinputGamepadDevice, in the real kernel: its
// identity and force-feedback capability, rumble from `fftest` (Debian's joystick package, a
// client written elsewhere), and the end of the stream. Runs inside the test kernel.

#include "GuestSupport.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/UinputGamepadDeviceFactory.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>

namespace jolto::guest {
namespace {

using namespace std::chrono_literals;

const std::string kName = "JOLTO Controller 1";
const std::string kUuid = "6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F";

// Every rumble level the gamepad hands over, with the moment it did.
class TimedRumble {
public:
    struct Entry {
        Clock::time_point at;
        float heavy, light;
    };
    void add(float heavy, float light) {
        std::lock_guard lock(mutex_);
        entries_.push_back({Clock::now(), heavy, light});
    }
    std::vector<Entry> entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // Waits until an entry satisfies `pred`; returns it.
    template <typename P> std::optional<Entry> waitFor(P pred, std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        do {
            for (const auto& e : entries())
                if (pred(e))
                    return e;
            std::this_thread::sleep_for(5ms);
        } while (Clock::now() < deadline);
        return std::nullopt;
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

class UinputGamepadGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        gamepad_ = VirtualGamepad::create(factory_, 1, kUuid,
                                          [this](float h, float l) { rumble_.add(h, l); });
        ASSERT_TRUE(gamepad_) << "/dev/uinput refused the gamepad";
        auto node = openEventNode(kName);
        ASSERT_TRUE(node) << "no evdev node named " << kName;
        event_ = std::move(node->first);
        path_ = node->second;
    }
    void TearDown() override {
        if (gamepad_) {
            gamepad_.reset();
            EXPECT_TRUE(waitUntilGone(kName));
        }
    }

    UinputGamepadDeviceFactory factory_;
    TimedRumble rumble_;
    std::unique_ptr<VirtualGamepad> gamepad_;
    Fd event_;
    std::string path_;
};

TEST_F(UinputGamepadGuestTest, IdentityAndForceFeedbackAnsweredAtOnce) {
    input_id id{};
    ASSERT_EQ(ioctl(event_.get(), EVIOCGID, &id), 0);
    EXPECT_EQ(id.bustype, BUS_VIRTUAL);
    EXPECT_EQ(id.vendor, 0x1209);
    EXPECT_EQ(id.product, 0x0001);
    std::array<char, 128> phys{};
    ASSERT_GE(ioctl(event_.get(), EVIOCGPHYS(phys.size() - 1), phys.data()), 0);
    EXPECT_EQ(std::string(phys.data()), "zevrin.zevcontroller." + kUuid);
    int effects = 0;
    ASSERT_EQ(ioctl(event_.get(), EVIOCGEFFECTS, &effects), 0);
    EXPECT_GE(effects, 16);

    // Every slot can be uploaded (the game waits for each answer) and erased again, while the
    // feeder is also busy with reports.
    Fd rw(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(rw);
    std::vector<std::int16_t> ids;
    auto start = Clock::now();
    for (int i = 0; i < effects; ++i) {
        ControllerState s;
        s.leftStick = {static_cast<float>(i % 2), 0.0f};
        gamepad_->push(VirtualGamepad::inputReport(s));
        ff_effect e{};
        e.type = FF_RUMBLE;
        e.id = -1;
        e.u.rumble.strong_magnitude = 0x1000;
        e.replay.length = 100;
        ASSERT_EQ(ioctl(rw.get(), EVIOCSFF, &e), 0) << "upload " << i << ": " << strerror(errno);
        ids.push_back(e.id);
    }
    for (auto i : ids)
        ASSERT_EQ(ioctl(rw.get(), EVIOCRMFF, static_cast<long>(i)), 0);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::printf("%d uploads and erasures took %lld ms\n", effects,
                static_cast<long long>(took.count()));
    EXPECT_LT(took, 2s);
}

TEST_F(UinputGamepadGuestTest, FftestRumblesThePhone) {
    if (::access("/usr/bin/fftest", X_OK) != 0)
        GTEST_SKIP() << "fftest is missing (scripts/setup.sh installs joystick)";
    // fftest sets the gain to 75 %, uploads its effects, then plays the number read from
    // stdin: 5 is its weak rumble, 0xC000 on the light motor for 5 s.
    std::string command = "exec /usr/bin/fftest " + path_ + " >/tmp/fftest.log 2>&1";
    FILE* fftest = ::popen(command.c_str(), "w");
    ASSERT_NE(fftest, nullptr);
    std::fputs("5\n", fftest);
    std::fflush(fftest);
    auto light = rumble_.waitFor([](const auto& e) { return e.light > 0.0f; }, 10s);
    EXPECT_TRUE(light) << "fftest's weak rumble never reached onRumble";
    if (light) {
        EXPECT_NEAR(light->light, 0.75f * 0xC0 / 255.0f, 0.01f);
        EXPECT_EQ(light->heavy, 0.0f);
    }
    std::fputs("-1\n", fftest);
    int status = ::pclose(fftest);
    // Ending the program erases its effects, which stops the rumble.
    auto off = rumble_.waitFor(
        [&](const auto& e) { return light && e.at > light->at && e.heavy == 0 && e.light == 0; },
        3s);
    EXPECT_TRUE(off) << "no rumble 0 0 after fftest ended";
    if (FILE* log = std::fopen("/tmp/fftest.log", "r")) {
        std::array<char, 4096> text{};
        text[std::fread(text.data(), 1, text.size() - 1, log)] = 0;
        std::fclose(log);
        if (::testing::Test::HasFailure() || status != 0)
            std::printf("fftest said:\n%s\n", text.data());
    }
}

TEST_F(UinputGamepadGuestTest, FinishingReleasesEverythingThenRemovesTheDevice) {
    ControllerState held;
    held.buttons = {ControllerButton::west, ControllerButton::capture, ControllerButton::dpadUp,
                    ControllerButton::rightTrigger};
    held.leftStick = {0.75f, -0.5f};
    held.leftTrigger = 0.5f;
    gamepad_->push(VirtualGamepad::inputReport(held));
    std::map<std::pair<unsigned, unsigned>, int> state;
    auto first = readFrame(event_.get());
    ASSERT_TRUE(first);
    for (const auto& ev : *first)
        state[{ev.type, ev.code}] = ev.value;
    std::string seen;
    for (const auto& [control, value] : state)
        seen += std::to_string(control.first) + ":" + std::to_string(control.second) + "=" +
                std::to_string(value) + " ";
    EXPECT_EQ(state.size(), 7u) << "west, capture, hat y, both triggers, left stick x and y; "
                                << "got " << seen;
    EXPECT_EQ((state[{EV_KEY, BTN_X}]), 1);
    EXPECT_EQ((state[{EV_ABS, ABS_RZ}]), 255);

    gamepad_->finish();
    // Read until the device is gone; each control must be back at rest by then.
    auto deadline = Clock::now() + kDeadline;
    bool gone = false;
    while (!gone && Clock::now() < deadline) {
        pollfd p{event_.get(), POLLIN, 0};
        ::poll(&p, 1, 50);
        input_event ev{};
        ssize_t n;
        while ((n = ::read(event_.get(), &ev, sizeof ev)) == static_cast<ssize_t>(sizeof ev))
            if (ev.type != EV_SYN)
                state[{ev.type, ev.code}] = ev.value;
        gone = n < 0 && errno == ENODEV;
    }
    EXPECT_TRUE(gone) << "the device is still there after the stream ended";
    for (const auto& [control, value] : state)
        EXPECT_EQ(value, 0) << "type " << control.first << " code " << control.second;
    EXPECT_TRUE(waitUntilGone(kName));
    gamepad_.reset();
}

} // namespace
} // namespace jolto::guest
