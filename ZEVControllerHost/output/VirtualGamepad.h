#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "output/InputReport.h"
#include "platform/VirtualHidDevice.h"
#include "platform/VirtualHidDeviceFactory.h"
#include "protocol/ControllerState.h"

namespace jolto {

// One phone as a HID gamepad. The server builds reports and pushes them without waiting; a
// feeder thread of the gamepad's own hands them to the device in order, answers the device's
// requests and turns rumble output reports into `onRumble` calls. The gamepad ends only
// through its report stream: after `finish` (or destruction) the feeder sends the reports
// still waiting and one neutral report, then the device goes away.
class VirtualGamepad {
public:
    // Gamepad: 15 buttons, an 8-way hat with a null state, X/Y/Z/Rz as signed 16-bit axes,
    // Rx/Ry as 8-bit triggers; one 2-byte vendor output report (heavy, light motor). No
    // report ids.
    static constexpr std::array<std::uint8_t, 105> reportDescriptor = {
        0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x05, 0x09, 0x19, 0x01, 0x29, 0x10, 0x15, 0x00, 0x25,
        0x01, 0x75, 0x01, 0x95, 0x10, 0x81, 0x02, 0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07,
        0x35, 0x00, 0x46, 0x3B, 0x01, 0x65, 0x14, 0x75, 0x04, 0x95, 0x01, 0x81, 0x42, 0x65, 0x00,
        0x45, 0x00, 0x75, 0x04, 0x95, 0x01, 0x81, 0x03, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09,
        0x35, 0x16, 0x01, 0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x04, 0x81, 0x02, 0x09, 0x33,
        0x09, 0x34, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x06, 0x00,
        0xFF, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, 0x91, 0x02, 0xC0,
    };

    using RumbleHandler = std::function<void(float heavy, float light)>;

    // The report for a state. Pure and allocation-free.
    static InputReport inputReport(const ControllerState& state);
    // The report of the all-zero state: nothing pressed, hat centred, sticks centred.
    static constexpr InputReport neutralReport() {
        return {0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    }

    // "JOLTO Controller <n>", vendor 0x1209, product 0x0001, serial number the phone's UUID
    // text, unique id "zevrin.zevcontroller.<UUID>".
    static VirtualHidDevice::Properties deviceProperties(int playerNumber,
                                                         const std::string& serial);

    // A gamepad with a new device, or nullptr when the platform refuses the device.
    // `onRumble` runs on the feeder thread; it must hand its work over and never wait for
    // the thread that destroys the gamepad.
    static std::unique_ptr<VirtualGamepad> create(VirtualHidDeviceFactory& factory,
                                                  int playerNumber, std::string serial,
                                                  RumbleHandler onRumble);

    // Non-blocking; when 32 reports are already waiting the oldest is dropped. `push` and
    // `finish` belong to one thread (the server's).
    void push(const InputReport& report);
    // Ends the report stream; later pushes are ignored.
    void finish();

    // Finishes the stream and waits for the feeder to send the neutral report and remove the
    // device, however long the device takes: the server never destroys a gamepad on its own
    // thread but hands it to its GamepadRetirement. Called from the feeder itself (a rumble handler
    // that drops its gamepad), it leaves the feeder to finish on its own.
    ~VirtualGamepad();

    VirtualGamepad(const VirtualGamepad&) = delete;
    VirtualGamepad& operator=(const VirtualGamepad&) = delete;

private:
    class Feeder;
    explicit VirtualGamepad(std::shared_ptr<Feeder> feeder);

    std::shared_ptr<Feeder> feeder_;
    std::thread thread_;
};

} // namespace jolto
