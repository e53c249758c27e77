#include "output/VirtualGamepadFactory.h"

#include "output/VirtualGamepad.h"

namespace jolto {

namespace {

class VirtualGamepadHandle final : public GamepadHandle {
public:
    explicit VirtualGamepadHandle(std::unique_ptr<VirtualGamepad> gamepad)
        : gamepad_(std::move(gamepad)) {}

    void push(const ControllerState& state) override {
        gamepad_->push(VirtualGamepad::inputReport(state));
    }
    void finish() override { gamepad_->finish(); }

private:
    std::unique_ptr<VirtualGamepad> gamepad_;
};

} // namespace

std::unique_ptr<GamepadHandle> VirtualGamepadFactory::create(GamepadDevice device, int playerNumber,
                                                             const std::string& serial,
                                                             RumbleCallback onRumble) {
    auto& devices = device == GamepadDevice::hid ? hid_ : standard_;
    auto gamepad = VirtualGamepad::create(devices, playerNumber, serial, std::move(onRumble));
    if (!gamepad) {
        return nullptr;
    }
    return std::make_unique<VirtualGamepadHandle>(std::move(gamepad));
}

} // namespace jolto
