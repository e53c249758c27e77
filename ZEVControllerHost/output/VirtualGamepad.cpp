#include "output/VirtualGamepad.h"

#include <cmath>
#include <system_error>
#include <utility>

#include "output/InputReportStream.h"
#include "protocol/WireConversions.h"

namespace jolto {

namespace {

void putAxis(InputReport& report, std::size_t offset, std::int16_t value) {
    auto bits = static_cast<std::uint16_t>(value);
    report[offset] = static_cast<std::uint8_t>(bits & 0xFF);
    report[offset + 1] = static_cast<std::uint8_t>(bits >> 8);
}

// HID button n + 1 for each bit n; the d-pad is not here, it forms the hat.
constexpr std::array<ControllerButton, 15> hidButtons = {
    ControllerButton::south,       ControllerButton::east,         ControllerButton::west,
    ControllerButton::north,       ControllerButton::leftShoulder, ControllerButton::rightShoulder,
    ControllerButton::leftTrigger, ControllerButton::rightTrigger, ControllerButton::select,
    ControllerButton::start,       ControllerButton::leftStick,    ControllerButton::rightStick,
    ControllerButton::home,        ControllerButton::capture,      ControllerButton::touchpad,
};

// For every d-pad combination (up, down, left, right as bits 0 to 3) its hat value, opposite
// directions cancelling.
constexpr std::array<std::uint8_t, 16> hatTable = [] {
    // [vertical + 1][horizontal + 1], vertical up = +1, horizontal right = +1.
    constexpr std::uint8_t byDirection[3][3] = {{5, 4, 3}, {6, 8, 2}, {7, 0, 1}};
    std::array<std::uint8_t, 16> table{};
    for (unsigned combo = 0; combo < 16; ++combo) {
        bool up = combo & 1, down = combo & 2, left = combo & 4, right = combo & 8;
        int vertical = (up ? 1 : 0) - (down ? 1 : 0);
        int horizontal = (right ? 1 : 0) - (left ? 1 : 0);
        table[combo] = byDirection[vertical + 1][horizontal + 1];
    }
    return table;
}();

// Buttons as the raw set's bits mapped to HID bits, folded into a table per byte of the raw
// word so that the hot path does three lookups instead of fifteen tests.
struct ButtonTables {
    std::array<std::array<std::uint16_t, 256>, 3> byByte{};
};

constexpr ButtonTables buttonTables = [] {
    ButtonTables t;
    for (std::size_t bit = 0; bit < hidButtons.size(); ++bit) {
        unsigned raw = rawValue(hidButtons[bit]);
        unsigned byte = raw / 8;
        for (unsigned value = 0; value < 256; ++value) {
            if (value & (1u << (raw % 8))) {
                t.byByte[byte][value] |= static_cast<std::uint16_t>(1u << bit);
            }
        }
    }
    return t;
}();

} // namespace

InputReport VirtualGamepad::inputReport(const ControllerState& s) {
    InputReport report{};
    std::uint32_t raw = s.buttons.rawValue();
    std::uint16_t buttons = buttonTables.byByte[0][raw & 0xFF] |
                            buttonTables.byByte[1][(raw >> 8) & 0xFF] |
                            buttonTables.byByte[2][(raw >> 16) & 0xFF];
    report[0] = static_cast<std::uint8_t>(buttons & 0xFF);
    report[1] = static_cast<std::uint8_t>(buttons >> 8);

    unsigned combo = (s.buttons.contains(ControllerButton::dpadUp) ? 1u : 0u) |
                     (s.buttons.contains(ControllerButton::dpadDown) ? 2u : 0u) |
                     (s.buttons.contains(ControllerButton::dpadLeft) ? 4u : 0u) |
                     (s.buttons.contains(ControllerButton::dpadRight) ? 8u : 0u);
    report[2] = hatTable[combo];

    // HID's Y grows downwards, the phone's upwards.
    putAxis(report, 3, encodeStickAxis(s.leftStick.x));
    putAxis(report, 5, encodeStickAxis(-s.leftStick.y));

    // Gyro aim nudges the right stick; the sum is kept inside the unit circle by direction.
    float rx = s.rightStick.x + 0.25f * s.gyroAim.x;
    float ry = s.rightStick.y + 0.25f * s.gyroAim.y;
    float length = std::sqrt(rx * rx + ry * ry);
    if (length > 1.0f) {
        rx /= length;
        ry /= length;
    }
    putAxis(report, 7, encodeStickAxis(rx));
    putAxis(report, 9, encodeStickAxis(-ry));

    report[11] = encodeLevel(s.leftTrigger);
    report[12] = encodeLevel(s.rightTrigger);
    return report;
}

VirtualHidDevice::Properties VirtualGamepad::deviceProperties(int playerNumber,
                                                              const std::string& serial) {
    VirtualHidDevice::Properties p;
    p.reportDescriptor.assign(reportDescriptor.begin(), reportDescriptor.end());
    p.vendorID = 0x1209;
    p.productID = 0x0001;
    p.product = "JOLTO Controller " + std::to_string(playerNumber);
    p.manufacturer = "Zevrin Works";
    p.serialNumber = serial;
    p.uniqueID = "zevrin.zevcontroller." + serial;
    return p;
}

// Everything the feeder thread uses, shared with the gamepad so that neither outlives it.
class VirtualGamepad::Feeder final : public VirtualHidDevice::Delegate {
public:
    Feeder(std::unique_ptr<VirtualHidDevice> device, RumbleHandler onRumble)
        : device_(std::move(device)), onRumble_(std::move(onRumble)),
          stream_([device = device_.get()] { device->wake(); }) {}

    InputReportStream& stream() { return stream_; }
    VirtualHidDevice& device() { return *device_; }

    void run() {
        InputReport report;
        for (;;) {
            device_->serviceRequests(*this);
            if (device_->isLive()) {
                auto taken = stream_.take(report);
                if (taken == InputReportStream::Take::report) {
                    // A refused report is lost; the next one carries the whole state anyway.
                    (void)device_->dispatchInputReport(report);
                    continue;
                }
                if (taken == InputReportStream::Take::ended) {
                    break;
                }
            } else if (stream_.isFinished()) {
                // Never started: there is nobody to tell that the buttons are up.
                break;
            }
            device_->waitForActivity();
        }
        if (device_->isLive()) {
            static constexpr InputReport neutral = neutralReport();
            (void)device_->dispatchInputReport(neutral);
        }
        // The stream has ended, so nothing can wake the device any more.
        device_.reset();
    }

    void setReport(VirtualHidDevice::ReportType type, std::uint8_t,
                   std::span<const std::uint8_t> data) override {
        if (type != VirtualHidDevice::ReportType::output || data.size() < 2 || !onRumble_) {
            return;
        }
        onRumble_(static_cast<float>(data[0]) / 255.0f, static_cast<float>(data[1]) / 255.0f);
    }

    std::span<const std::uint8_t> getReport(VirtualHidDevice::ReportType, std::uint8_t) override {
        return neutral_;
    }

private:
    static constexpr InputReport neutral_ = neutralReport();

    std::unique_ptr<VirtualHidDevice> device_;
    RumbleHandler onRumble_;
    InputReportStream stream_;
};

VirtualGamepad::VirtualGamepad(std::shared_ptr<Feeder> feeder)
    : feeder_(std::move(feeder)), thread_([feeder = feeder_] { feeder->run(); }) {}

std::unique_ptr<VirtualGamepad> VirtualGamepad::create(VirtualHidDeviceFactory& factory,
                                                       int playerNumber, std::string serial,
                                                       RumbleHandler onRumble) {
    auto device = factory.makeDevice();
    if (!device) {
        return nullptr;
    }
    VirtualHidDevice& created = *device;
    auto feeder = std::make_shared<Feeder>(std::move(device), std::move(onRumble));
    std::unique_ptr<VirtualGamepad> gamepad;
    try {
        gamepad.reset(new VirtualGamepad(feeder));
    } catch (const std::system_error&) {
        return nullptr;
    }
    // The feeder is already servicing the device, so requests the system makes while it sets
    // the device up are answered at once.
    if (!created.create(deviceProperties(playerNumber, serial))) {
        return nullptr;
    }
    return gamepad;
}

void VirtualGamepad::push(const InputReport& report) {
    feeder_->stream().push(report);
}

void VirtualGamepad::finish() {
    feeder_->stream().finish();
}

VirtualGamepad::~VirtualGamepad() {
    finish();
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

} // namespace jolto
