// The program's own gamepad in the real kernel: VirtualGamepad over UhidDevice, as the server
// drives it. What evdev shows of its identity and reports, rumble written through hidraw,
// get-report answers, the first states of a new device, and the end of the stream. Runs inside
// the test kernel.

#include "GuestSupport.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/UhidDeviceFactory.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace jolto::guest {
namespace {

const std::string kName = "JOLTO Controller 1";
const std::string kUuid = "6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F";

// Rumble levels as the feeder hands them over, on its own thread.
class RumbleLog {
public:
    void add(float heavy, float light) {
        std::lock_guard lock(mutex_);
        levels_.emplace_back(heavy, light);
        changed_.notify_all();
    }
    std::optional<std::pair<float, float>> next() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kDeadline, [&] { return !levels_.empty(); }))
            return std::nullopt;
        auto first = levels_.front();
        levels_.pop_front();
        return first;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<float, float>> levels_;
};

bool keyDown(int fd, unsigned code) {
    std::array<unsigned long, KEY_MAX / (sizeof(unsigned long) * 8) + 1> keys{};
    if (ioctl(fd, EVIOCGKEY(sizeof keys), keys.data()) < 0)
        return false;
    constexpr unsigned perWord = sizeof(unsigned long) * 8;
    return (keys[code / perWord] >> (code % perWord)) & 1UL;
}

int absValue(int fd, unsigned code) {
    input_absinfo info{};
    ioctl(fd, EVIOCGABS(code), &info);
    return info.value;
}

// Reads hidraw reports until the device is gone (or the deadline); returns them in order.
std::vector<std::vector<std::uint8_t>> readReportsUntilGone(int fd, bool& gone) {
    std::vector<std::vector<std::uint8_t>> reports;
    gone = false;
    auto deadline = Clock::now() + kDeadline;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 50);
        std::array<std::uint8_t, 64> buffer{};
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            reports.emplace_back(buffer.begin(), buffer.begin() + n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // hidraw hands out what it had queued first, then reports the device gone.
            gone = true;
            return reports;
        }
    }
    return reports;
}

class VirtualGamepadGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        createGamepad();
        ASSERT_TRUE(gamepad_) << "/dev/uhid refused the gamepad";
        auto node = openEventNode(kName);
        ASSERT_TRUE(node) << "no evdev node named " << kName;
        event_ = std::move(node->first);
    }

    void TearDown() override {
        if (gamepad_) {
            gamepad_.reset();
            EXPECT_TRUE(waitUntilGone(kName));
        }
    }

    void createGamepad() {
        gamepad_ = VirtualGamepad::create(
            factory_, 1, kUuid, [this](float heavy, float light) { rumble_.add(heavy, light); });
    }

    // Pushes a state and waits until evdev has turned it into events (the state must differ
    // from the current one); returns those events without the scan codes hid-input adds.
    std::vector<input_event> pushAndRead(const ControllerState& state) {
        gamepad_->push(VirtualGamepad::inputReport(state));
        auto first = readFrame(event_.get());
        EXPECT_TRUE(first) << "no evdev events for the state";
        std::vector<input_event> events = first.value_or(Frame{});
        auto rest = readUntilQuiet(event_.get(), std::chrono::milliseconds(100));
        events.insert(events.end(), rest.begin(), rest.end());
        std::erase_if(events, [](const input_event& ev) { return ev.type == EV_MSC; });
        return events;
    }

    UhidDeviceFactory factory_;
    RumbleLog rumble_;
    std::unique_ptr<VirtualGamepad> gamepad_;
    Fd event_;
};

TEST_F(VirtualGamepadGuestTest, ShowsUpWithTheGamepadsIdentity) {
    std::array<char, 128> text{};
    ASSERT_GE(ioctl(event_.get(), EVIOCGNAME(text.size() - 1), text.data()), 0);
    EXPECT_STREQ(text.data(), "JOLTO Controller 1");
    input_id id{};
    ASSERT_EQ(ioctl(event_.get(), EVIOCGID, &id), 0);
    EXPECT_EQ(id.bustype, BUS_VIRTUAL);
    EXPECT_EQ(id.vendor, 0x1209);
    EXPECT_EQ(id.product, 0x0001);
    text = {};
    ASSERT_GE(ioctl(event_.get(), EVIOCGUNIQ(text.size() - 1), text.data()), 0);
    EXPECT_EQ(std::string(text.data()), kUuid);
    text = {};
    ASSERT_GE(ioctl(event_.get(), EVIOCGPHYS(text.size() - 1), text.data()), 0);
    EXPECT_EQ(std::string(text.data()), "zevrin.zevcontroller." + kUuid);
}

TEST_F(VirtualGamepadGuestTest, StatesArriveAsButtonsAxesAndHat) {
    ControllerState state;
    state.buttons = {ControllerButton::south,  ControllerButton::north,
                     ControllerButton::start,  ControllerButton::touchpad,
                     ControllerButton::dpadUp, ControllerButton::dpadRight};
    state.leftStick = {0.5f, 1.0f};
    state.rightStick = {-0.6f, -0.5f};
    state.leftTrigger = 1.0f;
    state.rightTrigger = 0.5f;
    std::map<std::pair<unsigned, unsigned>, int> got;
    for (const auto& ev : pushAndRead(state))
        got[{ev.type, ev.code}] = ev.value;
    // HID buttons 1, 4, 10 and 15; hid-input names gamepad buttons from BTN_SOUTH upwards.
    // Stick y is negated (HID's down is positive); the kernel's fuzz (255) hides nothing here.
    std::map<std::pair<unsigned, unsigned>, int> expected{
        {{EV_KEY, BTN_SOUTH}, 1},  {{EV_KEY, BTN_NORTH}, 1},  {{EV_KEY, BTN_TR2}, 1},
        {{EV_KEY, BTN_THUMBR}, 1}, {{EV_ABS, ABS_HAT0X}, 1},  {{EV_ABS, ABS_HAT0Y}, -1},
        {{EV_ABS, ABS_X}, 16384},  {{EV_ABS, ABS_Y}, -32767}, {{EV_ABS, ABS_Z}, -19660},
        {{EV_ABS, ABS_RZ}, 16384}, {{EV_ABS, ABS_RX}, 255},   {{EV_ABS, ABS_RY}, 128}};
    EXPECT_EQ(got, expected);

    // Back to rest: every control returns, and nothing else moves.
    got.clear();
    for (const auto& ev : pushAndRead(ControllerState{}))
        got[{ev.type, ev.code}] = ev.value;
    for (auto& [control, value] : expected)
        value = 0;
    EXPECT_EQ(got, expected);
}

TEST_F(VirtualGamepadGuestTest, HidrawWritesReachOnRumbleWithOrWithoutTheReportNumber) {
    auto hidraw = openHidrawNode(kName);
    ASSERT_TRUE(hidraw) << "no hidraw node named " << kName;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        float heavy, light;
    };
    // hidraw passes the buffer through as written: with report number 0 first (hidapi's way
    // for devices without report ids) the gamepad sees three bytes and skips the 0.
    for (const Case& c : {Case{"bare report", {0x80, 0xFF}, 128 / 255.0f, 1.0f},
                          Case{"report number 0 first", {0x00, 0x80, 0xFF}, 128 / 255.0f, 1.0f},
                          Case{"bare report, heavy motor off", {0x00, 0x40}, 0.0f, 64 / 255.0f}}) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(write(hidraw->first.get(), c.bytes.data(), c.bytes.size()),
                  static_cast<ssize_t>(c.bytes.size()));
        auto levels = rumble_.next();
        ASSERT_TRUE(levels) << "onRumble was not called";
        EXPECT_FLOAT_EQ(levels->first, c.heavy);
        EXPECT_FLOAT_EQ(levels->second, c.light);
    }
}

TEST_F(VirtualGamepadGuestTest, GetInputReportAnswersTheNeutralReport) {
    auto hidraw = openHidrawNode(kName);
    ASSERT_TRUE(hidraw) << "no hidraw node named " << kName;
    ControllerState held;
    held.buttons = {ControllerButton::east};
    held.leftStick = {1.0f, 0.0f};
    ASSERT_FALSE(pushAndRead(held).empty());
    // The feeder answers while the ioctl waits; whatever is held, the answer is the rest state.
    std::array<std::uint8_t, 32> buffer{};
    int n = ioctl(hidraw->first.get(), HIDIOCGINPUT(buffer.size()), buffer.data());
    ASSERT_GE(n, 0) << std::strerror(errno);
    auto neutral = VirtualGamepad::neutralReport();
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n),
              std::vector<std::uint8_t>(neutral.begin(), neutral.end()));
}

TEST_F(VirtualGamepadGuestTest, FinishingSendsTheNeutralReportThenRemovesTheDevice) {
    auto hidraw = openHidrawNode(kName);
    ASSERT_TRUE(hidraw) << "no hidraw node named " << kName;
    ControllerState held;
    held.buttons = {ControllerButton::south, ControllerButton::dpadLeft};
    held.leftStick = {0.75f, 0.0f};
    ASSERT_FALSE(pushAndRead(held).empty());
    // Only what comes after the end counts.
    while (true) {
        std::array<std::uint8_t, 64> drain{};
        if (read(hidraw->first.get(), drain.data(), drain.size()) <= 0)
            break;
    }

    gamepad_->finish();
    bool gone = false;
    auto reports = readReportsUntilGone(hidraw->first.get(), gone);
    EXPECT_TRUE(gone) << "the device is still there after the stream ended";
    ASSERT_FALSE(reports.empty()) << "nothing was sent at the end";
    auto neutral = VirtualGamepad::neutralReport();
    // The kernel releases held keys itself when a device goes, but not axes or the hat: those
    // come back only through the neutral report.
    EXPECT_EQ(reports.back(), std::vector<std::uint8_t>(neutral.begin(), neutral.end()));
    EXPECT_TRUE(waitUntilGone(kName)) << "evdev node still listed";
    gamepad_.reset();
}

// A new device's first states must not be lost while the kernel is still setting it up:
// the server creates a gamepad for a state and pushes that state at once.
TEST_F(VirtualGamepadGuestTest, TheFirstStateOfANewDeviceIsNotLost) {
    gamepad_.reset();
    ASSERT_TRUE(waitUntilGone(kName));
    event_.reset();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("device " + std::to_string(round));
        createGamepad();
        ASSERT_TRUE(gamepad_);
        ControllerState first;
        first.buttons = {ControllerButton::west};
        first.rightTrigger = 1.0f;
        gamepad_->push(VirtualGamepad::inputReport(first));
        auto node = openEventNode(kName);
        ASSERT_TRUE(node);
        // The kernel keeps the device's state for readers that open later.
        auto deadline = Clock::now() + kDeadline;
        while (!(keyDown(node->first.get(), BTN_C) && absValue(node->first.get(), ABS_RY) == 255) &&
               Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(keyDown(node->first.get(), BTN_C)) << "the first state never arrived";
        EXPECT_EQ(absValue(node->first.get(), ABS_RY), 255);
        gamepad_.reset();
        ASSERT_TRUE(waitUntilGone(kName));
    }
}

} // namespace
} // namespace jolto::guest
