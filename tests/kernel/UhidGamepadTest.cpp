// The gamepad's report descriptor in the real kernel: what hid-generic and evdev make of it, the
// output report path through hidraw, and get-report requests. Runs inside the test kernel.

#include "GuestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <map>

namespace jolto::guest {
namespace {

bool hasBit(const std::vector<unsigned long>& bits, unsigned bit) {
    constexpr unsigned perWord = sizeof(unsigned long) * 8;
    return (bits[bit / perWord] >> (bit % perWord)) & 1UL;
}

std::vector<unsigned long> capabilityBits(int fd, unsigned type, unsigned max) {
    std::vector<unsigned long> bits(max / (sizeof(unsigned long) * 8) + 1);
    ioctl(fd, EVIOCGBIT(type, bits.size() * sizeof(unsigned long)), bits.data());
    return bits;
}

// HID buttons 1 to 15 in order; the kernel maps gamepad buttons onto BTN_GAMEPAD upwards.
constexpr unsigned kButtonCodes[15] = {BTN_SOUTH,  BTN_EAST,  BTN_C,    BTN_NORTH,  BTN_WEST,
                                       BTN_Z,      BTN_TL,    BTN_TR,   BTN_TL2,    BTN_TR2,
                                       BTN_SELECT, BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR};

class UhidGamepadTest : public ::testing::Test {
protected:
    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        std::string error;
        pad_ = RawUhidGamepad::create({}, error);
        ASSERT_TRUE(pad_) << error;
        auto node = openEventNode("JOLTO Controller 1");
        ASSERT_TRUE(node) << "no evdev node named JOLTO Controller 1";
        event_ = std::move(node->first);
        ASSERT_TRUE(pad_->waitUntilLive(event_.get())) << "the gamepad's reports never arrive";
        pad_->service();
    }

    void TearDown() override {
        if (pad_) {
            pad_->destroy();
            EXPECT_TRUE(waitUntilGone("JOLTO Controller 1"));
        }
    }

    // Sends a report and returns the key and axis events of the frame it produced (hid-input
    // also reports each button's HID usage as an EV_MSC scan code).
    Frame sendAndRead(const PadInput& in) {
        EXPECT_TRUE(pad_->send(makeReport(in)));
        auto frame = readFrame(event_.get());
        EXPECT_TRUE(frame) << "no evdev frame for the report";
        Frame controls;
        for (const auto& ev : frame.value_or(Frame{}))
            if (ev.type != EV_MSC)
                controls.push_back(ev);
        return controls;
    }

    std::optional<RawUhidGamepad> pad_;
    Fd event_;
};

TEST_F(UhidGamepadTest, EvdevShowsTheDescriptorsControlsAndRanges) {
    input_id id{};
    ASSERT_EQ(ioctl(event_.get(), EVIOCGID, &id), 0);
    EXPECT_EQ(id.bustype, BUS_VIRTUAL);
    EXPECT_EQ(id.vendor, 0x1209);
    EXPECT_EQ(id.product, 0x0001);
    std::array<char, 64> uniq{};
    ASSERT_GE(ioctl(event_.get(), EVIOCGUNIQ(uniq.size() - 1), uniq.data()), 0);
    EXPECT_STREQ(uniq.data(), "0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0");

    auto keys = capabilityBits(event_.get(), EV_KEY, KEY_MAX);
    for (unsigned code : kButtonCodes)
        EXPECT_TRUE(hasBit(keys, code)) << "missing key code 0x" << std::hex << code;

    struct Range {
        unsigned code;
        int min, max, fuzz;
    };
    // hid-input sets fuzz to 1/256 of the range: stick moves of 255 or less are swallowed.
    for (Range r : {Range{ABS_X, -32767, 32767, 255}, Range{ABS_Y, -32767, 32767, 255},
                    Range{ABS_Z, -32767, 32767, 255}, Range{ABS_RZ, -32767, 32767, 255},
                    Range{ABS_RX, 0, 255, 0}, Range{ABS_RY, 0, 255, 0}, Range{ABS_HAT0X, -1, 1, 0},
                    Range{ABS_HAT0Y, -1, 1, 0}}) {
        input_absinfo info{};
        ASSERT_EQ(ioctl(event_.get(), EVIOCGABS(r.code), &info), 0) << "axis " << r.code;
        EXPECT_EQ(info.minimum, r.min) << "axis " << r.code;
        EXPECT_EQ(info.maximum, r.max) << "axis " << r.code;
        EXPECT_EQ(info.fuzz, r.fuzz) << "axis " << r.code;
    }
}

TEST_F(UhidGamepadTest, EachButtonArrivesAsItsOwnKeyCode) {
    for (int n = 0; n < 15; ++n) {
        SCOPED_TRACE("HID button " + std::to_string(n + 1));
        Frame down = sendAndRead({.buttons = static_cast<std::uint16_t>(1u << n)});
        ASSERT_EQ(down.size(), 1u);
        EXPECT_EQ(down[0].type, EV_KEY);
        EXPECT_EQ(down[0].code, kButtonCodes[n]);
        EXPECT_EQ(down[0].value, 1);
        Frame up = sendAndRead({});
        ASSERT_EQ(up.size(), 1u);
        EXPECT_EQ(up[0].code, kButtonCodes[n]);
        EXPECT_EQ(up[0].value, 0);
    }
}

TEST_F(UhidGamepadTest, AxesAndHatArriveWithTheirValues) {
    Frame frame =
        sendAndRead({.x = 20000, .y = -20000, .z = -32767, .rz = 32767, .rx = 255, .ry = 128});
    std::map<unsigned, int> values;
    for (const auto& ev : frame)
        if (ev.type == EV_ABS)
            values[ev.code] = ev.value;
    EXPECT_EQ(values, (std::map<unsigned, int>{{ABS_X, 20000},
                                               {ABS_Y, -20000},
                                               {ABS_Z, -32767},
                                               {ABS_RZ, 32767},
                                               {ABS_RX, 255},
                                               {ABS_RY, 128}}));

    const std::pair<int, int> directions[8] = {{0, -1}, {1, -1}, {1, 0},  {1, 1},
                                               {0, 1},  {-1, 1}, {-1, 0}, {-1, -1}};
    for (std::uint8_t hat = 0; hat < 8; ++hat) {
        SCOPED_TRACE("hat " + std::to_string(hat));
        sendAndRead({.hat = hat});
        input_absinfo x{}, y{};
        ioctl(event_.get(), EVIOCGABS(ABS_HAT0X), &x);
        ioctl(event_.get(), EVIOCGABS(ABS_HAT0Y), &y);
        EXPECT_EQ(std::make_pair(x.value, y.value), directions[hat]);
    }
    sendAndRead({.hat = 8});
    input_absinfo x{}, y{};
    ioctl(event_.get(), EVIOCGABS(ABS_HAT0X), &x);
    ioctl(event_.get(), EVIOCGABS(ABS_HAT0Y), &y);
    EXPECT_EQ(std::make_pair(x.value, y.value), std::make_pair(0, 0)) << "hat 8 is centred";
}

TEST_F(UhidGamepadTest, HidrawWritesReachTheDeviceAsOutputReports) {
    auto hidraw = openHidrawNode("JOLTO Controller 1");
    ASSERT_TRUE(hidraw);
    const auto waitForOutput = [&] {
        auto deadline = Clock::now() + kDeadline;
        while (pad_->outputs.empty() && Clock::now() < deadline)
            pad_->service(std::chrono::milliseconds(50));
    };
    const std::uint8_t plain[] = {0x80, 0xFF};
    ASSERT_EQ(write(hidraw->first.get(), plain, sizeof plain), 2);
    waitForOutput();
    ASSERT_EQ(pad_->outputs.size(), 1u);
    EXPECT_EQ(pad_->outputs[0], (std::vector<std::uint8_t>{0x80, 0xFF}));

    // Without report ids hidraw still passes a leading report-id byte of 0 through to the
    // device, so the gamepad sees three bytes and has to skip the first.
    pad_->outputs.clear();
    const std::uint8_t withId[] = {0x00, 0x80, 0xFF};
    ASSERT_EQ(write(hidraw->first.get(), withId, sizeof withId), 3);
    waitForOutput();
    ASSERT_EQ(pad_->outputs.size(), 1u);
    EXPECT_EQ(pad_->outputs[0], (std::vector<std::uint8_t>{0x00, 0x80, 0xFF}));
}

TEST_F(UhidGamepadTest, GetInputReportIsAnsweredByTheDevice) {
    auto hidraw = openHidrawNode("JOLTO Controller 1");
    ASSERT_TRUE(hidraw);
    sendAndRead({.buttons = 1, .x = 9000});
    int fd = hidraw->first.get();
    // The ioctl blocks until the device answers, so the device is serviced meanwhile.
    auto request = std::async(std::launch::async, [fd] {
        std::array<std::uint8_t, 32> buffer{};
        int n = ioctl(fd, HIDIOCGINPUT(buffer.size()), buffer.data());
        return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + std::max(n, 0));
    });
    while (request.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        pad_->service(std::chrono::milliseconds(20));
    std::vector<std::uint8_t> answer = request.get();
    EXPECT_EQ(pad_->getReportRequests, 1);
    // hidraw hands back exactly what the device answered, with no report-id byte added.
    EXPECT_EQ(answer, std::vector<std::uint8_t>(kNeutralReport.begin(), kNeutralReport.end()));
}

TEST_F(UhidGamepadTest, DestroyingTheDeviceRemovesItsNodes) {
    pad_->destroy();
    char buffer[sizeof(input_event)];
    auto deadline = Clock::now() + kDeadline;
    ssize_t n = 0;
    while ((n = read(event_.get(), buffer, sizeof buffer)) >= 0 || errno == EAGAIN) {
        ASSERT_LT(Clock::now(), deadline) << "evdev node still readable after UHID_DESTROY";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(errno, ENODEV);
    EXPECT_TRUE(waitUntilGone("JOLTO Controller 1")) << "evdev node still listed";
}

} // namespace
} // namespace jolto::guest
