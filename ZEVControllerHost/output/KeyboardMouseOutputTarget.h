#pragma once

#include "output/KeyboardMouseOutput.h"
#include "output/KeyboardMouseTarget.h"

namespace jolto {

// The real keyboard-and-mouse output behind the interface the server drives.
class KeyboardMouseOutputTarget final : public KeyboardMouseTarget {
public:
    explicit KeyboardMouseOutputTarget(KeyboardMouseOutput& output) : output_(output) {}

    void setMapping(const KeyMapping& mapping) override { output_.setMapping(mapping); }
    void update(const Uuid& device, const ControllerState& state) override {
        output_.update(device, state);
    }
    void remove(const Uuid& device) override { output_.remove(device); }
    void removeAllClients() override { output_.removeAllClients(); }
    bool needsMotion() const override { return output_.needsMotion(); }
    void step(double elapsed) override { output_.step(elapsed); }

private:
    KeyboardMouseOutput& output_;
};

} // namespace jolto
