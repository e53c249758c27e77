#pragma once

#include <functional>

#include "output/GamepadFactory.h"
#include "platform/VirtualHidDeviceFactory.h"

namespace jolto {

// Makes the server's gamepads as VirtualGamepads on the platform's virtual devices: the
// standard kind on `standard`, the HID kind on `hid`.
class VirtualGamepadFactory final : public GamepadFactory {
public:
    // `hasAccess` answers whether this process may create devices of a kind at all; it only
    // words the message after a refused creation.
    VirtualGamepadFactory(VirtualHidDeviceFactory& standard, VirtualHidDeviceFactory& hid,
                          std::function<bool(GamepadDevice)> hasAccess)
        : standard_(standard), hid_(hid), hasAccess_(std::move(hasAccess)) {}

    std::unique_ptr<GamepadHandle> create(GamepadDevice device, int playerNumber,
                                          const std::string& serial,
                                          RumbleCallback onRumble) override;
    bool hasVirtualDeviceEntitlement(GamepadDevice device) const override {
        return hasAccess_ && hasAccess_(device);
    }

private:
    VirtualHidDeviceFactory& standard_;
    VirtualHidDeviceFactory& hid_;
    std::function<bool(GamepadDevice)> hasAccess_;
};

} // namespace jolto
