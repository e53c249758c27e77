#pragma once

#include <memory>

#include "HostServer.h"
#include "app/HostServerFacade.h"

namespace jolto {

// The real server behind the model's requests.
class HostServerAdapter final : public HostServerFacade {
public:
    explicit HostServerAdapter(std::shared_ptr<HostServer> server) : server_(std::move(server)) {}

    void start(OutputMode mode, KeyMapping mapping, Emit onEvent) override {
        server_->start(mode, std::move(mapping), std::move(onEvent));
    }
    void setMode(OutputMode mode) override { server_->setMode(mode); }
    void setMapping(KeyMapping mapping) override { server_->setMapping(std::move(mapping)); }
    void setRumbleStrength(float strength) override { server_->setRumbleStrength(strength); }
    void setAudioRumble(RumbleLevels levels) override { server_->setAudioRumble(levels); }
    void regeneratePIN() override { server_->regeneratePIN(); }
    void forget(Uuid device) override { server_->forget(device); }
    void testRumble() override { server_->testRumble(); }
    void retryGamepads() override { server_->retryGamepads(); }

private:
    std::shared_ptr<HostServer> server_;
};

} // namespace jolto
