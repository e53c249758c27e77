#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <span>

#include <linux/input.h>

#include "output/InputReport.h"
#include "output/VirtualGamepad.h"
#include "platform/VirtualHidDevice.h"
#include "platform/linux/EvdevGamepadReport.h"
#include "platform/linux/ForceFeedbackEffects.h"

namespace jolto {

// A virtual gamepad as a uinput device in the layout of EvdevGamepadReport, with force
// feedback: the evdev device that games on Linux read.
//
// Input: each report becomes the evdev events of what changed since the last one, written in
// one go and closed by one SYN_REPORT. The HID report descriptor of the properties is not
// used; name = product, phys = unique id, bus virtual, the properties' vendor and product.
//
// Force feedback: FF_RUMBLE, FF_PERIODIC (sine), FF_CONSTANT and FF_GAIN, 16 effects. The
// kernel hands a game's uploads and erasures to this process and keeps the game waiting until
// they are answered, so `serviceRequests` answers them at once. The effects' motor levels go
// to the delegate as the two-byte output report a HID gamepad would get (heavy, light,
// 0 to 255), each time they change: at a play or stop, an erasure, a gain change, the end of
// an effect's length or its replay delay (`waitForActivity` wakes up for those).
//
// The device is created with raw uinput requests rather than libevdev's, which have no say
// over the number of force-feedback effects.
class UinputGamepadDevice final : public VirtualHidDevice {
public:
    static constexpr const char* defaultPath = "/dev/uinput";

    // Opens the uinput character device; nullptr when this process may not.
    static std::unique_ptr<UinputGamepadDevice> open(const char* path = defaultPath);
    // Drives a device that `fd` already stands for, which it takes over: live from the start,
    // nothing created. The benchmarks write to /dev/null this way. nullptr when no wake-up
    // descriptor can be made.
    static std::unique_ptr<UinputGamepadDevice> adopt(int fd);
    // Destroys the device if it was created, then closes the descriptor.
    ~UinputGamepadDevice() override;

    bool create(const Properties& properties) override;
    // True once the device exists: evdev readers see it from then on.
    bool isLive() const override { return live_.load(std::memory_order_acquire); }
    bool dispatchInputReport(std::span<const std::uint8_t> report) override;
    void serviceRequests(Delegate& delegate) override;
    void waitForActivity() override;
    void wake() override;

    UinputGamepadDevice(const UinputGamepadDevice&) = delete;
    UinputGamepadDevice& operator=(const UinputGamepadDevice&) = delete;

private:
    UinputGamepadDevice(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
    bool setUp(const Properties& properties);
    void handle(const input_event& event);
    void answerUpload(std::int32_t requestID);
    void answerErase(std::int32_t requestID);

    int fd_;
    int wakeFd_;
    std::atomic<bool> live_{false};
    bool readFailed_ = false;
    bool adopted_ = false;
    // The state the device's readers hold; the device starts neutral (hat centred).
    InputReport last_ = VirtualGamepad::neutralReport();
    EvdevGamepadReport::Events events_{};
    ForceFeedbackEffects effects_;
    ForceFeedbackEffects::Levels sentLevels_;
};

// Whether this process can make uinput gamepads: /dev/uinput opens for reading and writing.
bool hasUinputGamepadAccess(const char* path = UinputGamepadDevice::defaultPath);

} // namespace jolto
