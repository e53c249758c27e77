#pragma once

#include <functional>

#include "output/GamepadFactory.h"
#include "platform/VirtualHidDeviceFactory.h"

namespace jolto {

// Makes the server's gamepads as VirtualGamepads on the platform's virtual HID devices.
class VirtualGamepadFactory final : public GamepadFactory {
public:
    // `hasAccess` answers whether this process may create virtual devices at all; it only
    // words the message after a refused creation.
    VirtualGamepadFactory(VirtualHidDeviceFactory& devices, std::function<bool()> hasAccess)
        : devices_(devices), hasAccess_(std::move(hasAccess)) {}

    std::unique_ptr<GamepadHandle> create(int playerNumber, const std::string& serial,
                                          RumbleCallback onRumble) override;
    bool hasVirtualDeviceEntitlement() const override { return hasAccess_ && hasAccess_(); }

private:
    VirtualHidDeviceFactory& devices_;
    std::function<bool()> hasAccess_;
};

} // namespace jolto
