// VirtualGamepad in the real kernel as evdev and Debian's SDL2 show it, on uinput in the Xbox pad
// layout (SDL without a mapping) and on uhid as hid-generic maps it (with the program's mapping);
// per device its rumble path (hidraw writes, or `fftest`), get-report answers and stream's end.

#include "GuestSupport.h"
#include "output/SdlMapping.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/UhidDeviceFactory.h"
#include "platform/linux/UinputGamepadDeviceFactory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>

namespace jolto::guest {
namespace {

using namespace std::chrono_literals;
using B = ControllerButton;
using Controls = std::map<std::pair<unsigned, unsigned>, int>;
using SdlControls = std::map<std::string, int>;

const std::string kName = "JOLTO Controller 1";
const std::string kUuid = "6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F";

ControllerState makeState(std::initializer_list<ControllerButton> buttons, StickVector left = {},
                          StickVector right = {}, float leftTrigger = 0, float rightTrigger = 0) {
    ControllerState s;
    s.buttons = ButtonSet(buttons);
    s.leftStick = left;
    s.rightStick = right;
    s.leftTrigger = leftTrigger;
    s.rightTrigger = rightTrigger;
    return s;
}

// Between them the two states press every button and move every axis both ways.
const ControllerState kStates[] = {
    makeState({B::south, B::north, B::start, B::touchpad, B::dpadUp, B::dpadRight}, {0.5f, 1.0f},
              {-0.6f, -0.5f}, 1.0f, 0.5f),
    makeState({B::east, B::west, B::leftShoulder, B::rightShoulder, B::leftTrigger, B::rightTrigger,
               B::select, B::leftStick, B::rightStick, B::home, B::capture, B::dpadDown,
               B::dpadLeft},
              {-1.0f, -0.5f}, {0.6f, 0.0f}),
};

// A state's controls as evdev shows them: the keys pressed, then the axes as code, value, ...
Controls controls(std::initializer_list<unsigned> keys, std::initializer_list<int> axes) {
    Controls c;
    for (unsigned key : keys)
        c[{EV_KEY, key}] = 1;
    for (auto axis = axes.begin(); axis + 1 < axes.end(); axis += 2)
        c[{EV_ABS, static_cast<unsigned>(axis[0])}] = axis[1];
    return c;
}

struct Range {
    std::vector<unsigned> codes;
    int min, max;
};

struct Backend {
    const char* name;
    VirtualHidDeviceFactory* factory;
    const char* uniq; // null: the device has none
    // What evdev shows for each of kStates; the device has no keys but these and `extraKeys`.
    std::vector<Controls> states;
    std::vector<unsigned> extraKeys;
    std::vector<Range> ranges;
    bool withMapping; // SDL is given the program's mapping
    const char* controllerName;
    const char *capture, *touchpad; // SDL's names for these buttons; null: it has none
};

UinputGamepadDeviceFactory uinputFactory;
UhidDeviceFactory uhidFactory;

// Stick y is negated (the phone's up is evdev's down); a trigger button is the full axis. SDL's
// own guess for this pad has no names for capture and touchpad.
const Backend kUinput{"uinput",
                      &uinputFactory,
                      nullptr,
                      {controls({BTN_SOUTH, BTN_Y, BTN_START, BTN_TRIGGER_HAPPY1},
                                {ABS_HAT0X, 1, ABS_HAT0Y, -1, ABS_X, 16384, ABS_Y, -32767, ABS_RX,
                                 -19660, ABS_RY, 16384, ABS_Z, 255, ABS_RZ, 128}),
                       controls({BTN_EAST, BTN_X, BTN_TL, BTN_TR, BTN_SELECT, BTN_THUMBL,
                                 BTN_THUMBR, BTN_MODE, KEY_RECORD},
                                {ABS_Z, 255, ABS_RZ, 255, ABS_HAT0X, -1, ABS_HAT0Y, 1, ABS_X,
                                 -32767, ABS_Y, 16384, ABS_RX, 19660})},
                      {},
                      {Range{{ABS_X, ABS_Y, ABS_RX, ABS_RY}, -32768, 32767},
                       Range{{ABS_Z, ABS_RZ}, 0, 255}, Range{{ABS_HAT0X, ABS_HAT0Y}, -1, 1}},
                      false,
                      "JOLTO Controller 1",
                      nullptr,
                      nullptr};

// hid-input names the descriptor's buttons 1 to 16 from BTN_SOUTH upwards in code order; the
// sixteenth (0x13f) only pads the report and is never pressed. The triggers are Rx and Ry.
const Backend kUhid{
    "uhid",
    &uhidFactory,
    kUuid.c_str(),
    {controls({BTN_SOUTH, BTN_NORTH, BTN_TR2, BTN_THUMBR},
              {ABS_HAT0X, 1, ABS_HAT0Y, -1, ABS_X, 16384, ABS_Y, -32767, ABS_Z, -19660, ABS_RZ,
               16384, ABS_RX, 255, ABS_RY, 128}),
     controls({BTN_EAST, BTN_C, BTN_WEST, BTN_Z, BTN_TL, BTN_TR, BTN_TL2, BTN_SELECT, BTN_START,
               BTN_MODE, BTN_THUMBL},
              {ABS_HAT0X, -1, ABS_HAT0Y, 1, ABS_X, -32767, ABS_Y, 16384, ABS_Z, 19660})},
    {BTN_THUMBR + 1},
    {Range{{ABS_X, ABS_Y, ABS_Z, ABS_RZ}, -32767, 32767}, Range{{ABS_RX, ABS_RY}, 0, 255},
     Range{{ABS_HAT0X, ABS_HAT0Y}, -1, 1}},
    true,
    "JOLTO Controller",
    "misc1",
    "touchpad"};

void PrintTo(const Backend& backend, std::ostream* out) {
    *out << backend.name;
}

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param.name;
}

int absValue(int fd, unsigned code) {
    input_absinfo info{};
    ioctl(fd, EVIOCGABS(code), &info);
    return info.value;
}

// The key codes set in the bit mask that `request` reads: the keys a device has, or holds.
std::set<unsigned> keyCodes(int fd, unsigned long request) {
    std::array<unsigned char, KEY_MAX / 8 + 1> bits{};
    std::set<unsigned> codes;
    if (ioctl(fd, request, bits.data()) >= 0)
        for (unsigned code = 0; code <= KEY_MAX; ++code)
            if ((bits[code / 8] >> (code % 8)) & 1)
                codes.insert(code);
    return codes;
}

// Hands each record (at most `size` bytes) read from `fd` to `take`; whether the device went.
template <typename Take> bool readUntilGone(int fd, std::size_t size, Take take) {
    std::vector<char> buffer(size);
    for (auto deadline = Clock::now() + kDeadline; Clock::now() < deadline;) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 50);
        ssize_t n;
        while ((n = ::read(fd, buffer.data(), size)) > 0)
            take(buffer.data(), static_cast<std::size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return true;
    }
    return false;
}

// Every rumble level (heavy, light) the gamepad hands over on its feeder thread, in order.
class RumbleLog {
public:
    using Levels = std::vector<std::pair<float, float>>;
    void add(float heavy, float light) {
        std::lock_guard lock(mutex_);
        levels_.emplace_back(heavy, light);
    }
    // The levels once `done` holds for them, or as they are after `limit`.
    template <typename Done> Levels waitUntil(Done done, Clock::duration limit = kDeadline) {
        for (auto deadline = Clock::now() + limit;; std::this_thread::sleep_for(5ms)) {
            std::lock_guard lock(mutex_);
            if (done(levels_) || Clock::now() >= deadline)
                return levels_;
        }
    }

private:
    std::mutex mutex_;
    Levels levels_;
};

class GamepadGuestTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        create();
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
    void create() {
        gamepad_ = VirtualGamepad::create(*GetParam().factory, 1, kUuid,
                                          [this](float h, float l) { rumble_.add(h, l); });
        ASSERT_TRUE(gamepad_) << "the kernel refused the gamepad";
    }

    // Pushes a state (it must differ from the current one) and returns the controls evdev
    // changed for it, without the scan codes hid-input adds.
    Controls pushAndRead(const ControllerState& state) {
        gamepad_->push(VirtualGamepad::inputReport(state));
        std::vector<input_event> events;
        EXPECT_TRUE(readEvents(event_.get(), events, Clock::now() + kDeadline))
            << "no evdev events for the state";
        while (readEvents(event_.get(), events, Clock::now() + 100ms)) {
        }
        Controls got;
        for (const auto& ev : events)
            if (ev.type != EV_MSC && ev.type != EV_SYN)
                got[{ev.type, ev.code}] = ev.value;
        return got;
    }

    RumbleLog rumble_;
    std::unique_ptr<VirtualGamepad> gamepad_;
    Fd event_;
    std::string path_;
};

TEST_P(GamepadGuestTest, IdentityAndControls) {
    const int fd = event_.get();
    input_id id{};
    ASSERT_EQ(ioctl(fd, EVIOCGID, &id), 0);
    EXPECT_EQ(id.bustype, BUS_VIRTUAL);
    EXPECT_EQ(id.vendor, 0x1209);
    EXPECT_EQ(id.product, 0x0001);
    std::array<char, 128> text{};
    ASSERT_GE(ioctl(fd, EVIOCGPHYS(text.size() - 1), text.data()), 0);
    EXPECT_EQ(std::string(text.data()), "zevrin.zevcontroller." + kUuid);
    if (GetParam().uniq) {
        text = {};
        ASSERT_GE(ioctl(fd, EVIOCGUNIQ(text.size() - 1), text.data()), 0);
        EXPECT_STREQ(text.data(), GetParam().uniq);
    }
    std::set<unsigned> expected(GetParam().extraKeys.begin(), GetParam().extraKeys.end());
    for (const auto& state : GetParam().states)
        for (const auto& [control, value] : state)
            if (control.first == EV_KEY)
                expected.insert(control.second);
    EXPECT_EQ(keyCodes(fd, EVIOCGBIT(EV_KEY, KEY_MAX / 8 + 1)), expected);
    for (const auto& range : GetParam().ranges)
        for (unsigned code : range.codes) {
            input_absinfo info{};
            ASSERT_EQ(ioctl(fd, EVIOCGABS(code), &info), 0) << "axis " << code;
            EXPECT_EQ(std::make_pair(info.minimum, info.maximum),
                      std::make_pair(range.min, range.max))
                << "axis " << code;
        }
}

TEST_P(GamepadGuestTest, StatesArriveAsKeysAxesAndHatAndReturnToRest) {
    for (std::size_t i = 0; i < std::size(kStates); ++i) {
        SCOPED_TRACE("state " + std::to_string(i));
        Controls expected = GetParam().states.at(i);
        EXPECT_EQ(pushAndRead(kStates[i]), expected);
        // Every control returns, and nothing else moves.
        for (auto& [control, value] : expected)
            value = 0;
        EXPECT_EQ(pushAndRead(ControllerState{}), expected);
    }
}

// The server creates a gamepad for a state and pushes that state at once; it must not be lost
// while the kernel is still setting the device up.
TEST_P(GamepadGuestTest, TheFirstStateOfANewDeviceIsNotLost) {
    gamepad_.reset();
    ASSERT_TRUE(waitUntilGone(kName));
    event_ = Fd();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("device " + std::to_string(round));
        create();
        gamepad_->push(VirtualGamepad::inputReport(kStates[round % 2]));
        auto node = openEventNode(kName);
        ASSERT_TRUE(node);
        // The kernel keeps the device's state for readers that open later.
        const int fd = node->first.get();
        const auto arrived = [&] {
            const auto held = keyCodes(fd, EVIOCGKEY(KEY_MAX / 8 + 1));
            for (const auto& [control, value] : GetParam().states[round % 2])
                if ((control.first == EV_KEY ? static_cast<int>(held.count(control.second))
                                             : absValue(fd, control.second)) != value)
                    return false;
            return true;
        };
        for (auto deadline = Clock::now() + kDeadline; !arrived() && Clock::now() < deadline;)
            std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(arrived()) << "the first state never arrived";
        gamepad_.reset();
        ASSERT_TRUE(waitUntilGone(kName));
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, GamepadGuestTest, ::testing::Values(kUinput, kUhid), backendName);

class SdlTest : public GamepadGuestTest {
protected:
    void SetUp() override {
        GamepadGuestTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            ASSERT_GE(index_ = startSdl(kName), 0) << "SDL does not list " << kName;
        }
    }
    void TearDown() override {
        if (controller_)
            SDL_GameControllerClose(controller_);
        SDL_Quit();
        GamepadGuestTest::TearDown();
    }

    // Every control of the controller by its SDL name, once SDL has seen `state`.
    SdlControls sdlControls(const ControllerState& state) {
        EXPECT_FALSE(pushAndRead(state).empty());
        SDL_GameControllerUpdate();
        SdlControls c;
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b) {
            const auto button = static_cast<SDL_GameControllerButton>(b);
            c[SDL_GameControllerGetStringForButton(button)] =
                SDL_GameControllerGetButton(controller_, button);
        }
        for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a) {
            const auto axis = static_cast<SDL_GameControllerAxis>(a);
            c[SDL_GameControllerGetStringForAxis(axis)] =
                SDL_GameControllerGetAxis(controller_, axis);
        }
        return c;
    }

    int index_ = -1;
    SDL_GameController* controller_ = nullptr;
};

// The controls whose value differs from `rest`, with their values in `now`.
SdlControls changed(const SdlControls& rest, const SdlControls& now) {
    SdlControls c;
    for (const auto& [name, value] : now)
        if (rest.at(name) != value)
            c[name] = value;
    return c;
}

TEST_P(SdlTest, EveryControlUnderItsSdlName) {
    const Backend& device = GetParam();
    if (device.withMapping) {
        // It applies only when its GUID is the one SDL derives from the device.
        ASSERT_GE(SDL_GameControllerAddMapping(std::string(sdlGameControllerMapping).c_str()), 0)
            << SDL_GetError();
    } else {
        ASSERT_EQ(std::getenv("SDL_GAMECONTROLLERCONFIG"), nullptr);
    }
    ASSERT_TRUE(SDL_IsGameController(index_));
    controller_ = SDL_GameControllerOpen(index_);
    ASSERT_NE(controller_, nullptr) << SDL_GetError();
    EXPECT_STREQ(SDL_GameControllerName(controller_), device.controllerName);
    if (!device.withMapping) {
        // Before anything has moved: a resting trigger reads 0, not half pressed.
        SDL_GameControllerUpdate();
        EXPECT_EQ(SDL_GameControllerGetAxis(controller_, SDL_CONTROLLER_AXIS_TRIGGERLEFT), 0);
        EXPECT_EQ(SDL_GameControllerGetAxis(controller_, SDL_CONTROLLER_AXIS_TRIGGERRIGHT), 0);
    }

    // Every axis moves once so that SDL has seen real values, then everything rests.
    sdlControls(makeState({}, {0.3f, 0.3f}, {0.3f, 0.3f}, 0.3f, 0.3f));
    const SdlControls rest = sdlControls({});
    const auto only = [](const char* name) {
        return name ? SdlControls{{name, 1}} : SdlControls{};
    };
    const std::tuple<std::string, ControllerState, SdlControls> cases[] = {
        {"south", makeState({B::south}), {{"a", 1}}},
        {"east", makeState({B::east}), {{"b", 1}}},
        {"west", makeState({B::west}), {{"x", 1}}},
        {"north", makeState({B::north}), {{"y", 1}}},
        {"left shoulder", makeState({B::leftShoulder}), {{"leftshoulder", 1}}},
        {"right shoulder", makeState({B::rightShoulder}), {{"rightshoulder", 1}}},
        // The trigger buttons (fully pressed triggers on the phone) are the full axes.
        {"left trigger button", makeState({B::leftTrigger}), {{"lefttrigger", 32767}}},
        {"right trigger button", makeState({B::rightTrigger}), {{"righttrigger", 32767}}},
        {"select", makeState({B::select}), {{"back", 1}}},
        {"start", makeState({B::start}), {{"start", 1}}},
        {"left stick", makeState({B::leftStick}), {{"leftstick", 1}}},
        {"right stick", makeState({B::rightStick}), {{"rightstick", 1}}},
        {"home", makeState({B::home}), {{"guide", 1}}},
        {"capture", makeState({B::capture}), only(device.capture)},
        {"touchpad", makeState({B::touchpad}), only(device.touchpad)},
        {"d-pad up", makeState({B::dpadUp}), {{"dpup", 1}}},
        {"d-pad down", makeState({B::dpadDown}), {{"dpdown", 1}}},
        {"d-pad left", makeState({B::dpadLeft}), {{"dpleft", 1}}},
        {"d-pad right", makeState({B::dpadRight}), {{"dpright", 1}}},
        // The phone's y grows upwards, SDL's downwards; the two axes of a stick by unequal
        // amounts, so that a swap shows.
        {"left stick ↘", makeState({}, {0.6f, -0.3f}), {{"leftx", 19660}, {"lefty", 9830}}},
        {"left stick ↖", makeState({}, {-0.6f, 0.3f}), {{"leftx", -19660}, {"lefty", -9830}}},
        {"right stick ↘", makeState({}, {}, {0.6f, -0.3f}), {{"rightx", 19660}, {"righty", 9830}}},
        {"right stick ↖",
         makeState({}, {}, {-0.6f, 0.3f}),
         {{"rightx", -19660}, {"righty", -9830}}},
        {"right trigger half", makeState({}, {}, {}, 0, 0.5f), {{"righttrigger", 16448}}},
    };
    for (const auto& [what, state, expected] : cases) {
        SCOPED_TRACE(what);
        // Axis values within a small tolerance: SDL rescales the kernel's range onto its own.
        const SdlControls got = changed(rest, sdlControls(state));
        ASSERT_EQ(got.size(), expected.size()) << ::testing::PrintToString(got);
        for (const auto& [name, value] : expected)
            EXPECT_NEAR(got.count(name) ? got.at(name) : -99999, value, 300)
                << name << " in " << ::testing::PrintToString(got);
        EXPECT_EQ(changed(rest, sdlControls({})), SdlControls{}) << "not back at rest";
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, SdlTest, ::testing::Values(kUinput, kUhid), backendName);

class UhidGamepadTest : public GamepadGuestTest {
protected:
    void SetUp() override {
        GamepadGuestTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            auto node = openByName("/dev", "hidraw", kName, O_RDWR | O_NONBLOCK,
                                   HIDIOCGRAWNAME(255), Clock::now() + kDeadline);
            ASSERT_TRUE(node) << "no hidraw node named " << kName;
            hidraw_ = std::move(node->first);
        }
    }
    Fd hidraw_;
};

TEST_P(UhidGamepadTest, HidrawWritesReachOnRumbleWithOrWithoutTheReportNumber) {
    // hidraw passes the buffer through as written: with report number 0 first (hidapi's way
    // for devices without report ids) the gamepad sees three bytes and skips the 0.
    const std::vector<std::uint8_t> writes[] = {{0x80, 0xFF}, {0x00, 0x80, 0xFF}, {0x00, 0x40}};
    for (const auto& bytes : writes)
        ASSERT_EQ(write(hidraw_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    const RumbleLog::Levels expected = {
        {128 / 255.0f, 1.0f}, {128 / 255.0f, 1.0f}, {0.0f, 64 / 255.0f}};
    EXPECT_EQ(rumble_.waitUntil([&](const auto& levels) { return levels.size() >= 3; }), expected);
}

// Whatever is held, a get-report is answered with the rest state, and so ends the stream: the
// kernel releases a removed device's held keys itself, but not its axes or hat.
TEST_P(UhidGamepadTest, GetReportAndTheStreamsEndAnswerTheNeutralReport) {
    ASSERT_FALSE(pushAndRead(kStates[1]).empty());
    const auto neutral = VirtualGamepad::neutralReport();
    const std::vector<std::uint8_t> expected(neutral.begin(), neutral.end());
    std::array<std::uint8_t, 32> buffer{};
    const int n = ioctl(hidraw_.get(), HIDIOCGINPUT(buffer.size()), buffer.data());
    ASSERT_GE(n, 0) << std::strerror(errno);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n), expected);
    gamepad_->finish();
    // hidraw hands out what it had queued first, then reports the device gone.
    std::vector<std::uint8_t> last;
    EXPECT_TRUE(readUntilGone(hidraw_.get(), 64, [&](const char* data, std::size_t size) {
        last.assign(data, data + size);
    })) << "the device is still there after the stream ended";
    EXPECT_EQ(last, expected);
    EXPECT_TRUE(waitUntilGone(kName)) << "evdev node still listed";
    gamepad_.reset();
}

INSTANTIATE_TEST_SUITE_P(Device, UhidGamepadTest, ::testing::Values(kUhid), backendName);

class UinputGamepadTest : public GamepadGuestTest {};

// Every effect slot can be uploaded (the game waits for each answer) and erased again while
// the feeder is also busy with reports.
TEST_P(UinputGamepadTest, EveryEffectSlotIsAnsweredAtOnce) {
    Fd rw(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(rw);
    int effects = 0;
    ASSERT_EQ(ioctl(rw.get(), EVIOCGEFFECTS, &effects), 0);
    EXPECT_GE(effects, 16);
    std::vector<std::int16_t> ids;
    auto start = Clock::now();
    for (int i = 0; i < effects; ++i) {
        gamepad_->push(VirtualGamepad::inputReport(makeState({}, {i % 2 * 1.0f, 0})));
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
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST_P(UinputGamepadTest, FftestRumblesThePhone) {
    if (::access("/usr/bin/fftest", X_OK) != 0)
        GTEST_SKIP() << "fftest is missing (scripts/setup.sh installs joystick)";
    // fftest sets the gain to 75 %, uploads its effects, then plays the number read from
    // stdin: 5 is its weak rumble, 0xC000 on the light motor for 5 s.
    FILE* fftest =
        ::popen(("exec /usr/bin/fftest " + path_ + " >/tmp/fftest.log 2>&1").c_str(), "w");
    ASSERT_NE(fftest, nullptr);
    std::fputs("5\n", fftest);
    std::fflush(fftest);
    const auto lightOn = [](const auto& levels) { return levels.second > 0.0f; };
    rumble_.waitUntil([&](const auto& l) { return std::any_of(l.begin(), l.end(), lightOn); });
    std::fputs("-1\n", fftest);
    const int status = ::pclose(fftest);
    // Ending the program erases its effects, which stops the rumble.
    const auto stoppedAfterLight = [&](const RumbleLog::Levels& l) {
        const auto light = std::find_if(l.begin(), l.end(), lightOn);
        return std::find(light, l.end(), std::pair(0.0f, 0.0f)) != l.end();
    };
    const auto levels = rumble_.waitUntil(stoppedAfterLight, 3s);
    const auto light = std::find_if(levels.begin(), levels.end(), lightOn);
    EXPECT_NE(light, levels.end()) << "fftest's weak rumble never reached onRumble";
    if (light != levels.end()) {
        EXPECT_NEAR(light->second, 0.75f * 0xC0 / 255.0f, 0.01f);
        EXPECT_EQ(light->first, 0.0f);
    }
    EXPECT_TRUE(stoppedAfterLight(levels)) << "no rumble 0 0 after fftest ended";
    if (HasFailure() || status != 0)
        std::cout << "fftest said:\n" << std::ifstream("/tmp/fftest.log").rdbuf() << "\n";
}

// The stream's end brings every control back to rest before the device goes.
TEST_P(UinputGamepadTest, FinishingReleasesEverythingThenRemovesTheDevice) {
    auto state = pushAndRead(kStates[0]);
    EXPECT_EQ(state, GetParam().states[0]);
    gamepad_->finish();
    EXPECT_TRUE(readUntilGone(event_.get(), sizeof(input_event), [&](const char* data, auto) {
        input_event ev;
        std::memcpy(&ev, data, sizeof ev);
        if (ev.type != EV_SYN)
            state[{ev.type, ev.code}] = ev.value;
    })) << "the device is still there after the stream ended";
    for (const auto& [control, value] : state)
        EXPECT_EQ(value, 0) << "type " << control.first << " code " << control.second;
    EXPECT_TRUE(waitUntilGone(kName));
    gamepad_.reset();
}

INSTANTIATE_TEST_SUITE_P(Device, UinputGamepadTest, ::testing::Values(kUinput), backendName);

} // namespace
} // namespace jolto::guest
