#pragma once

#include <memory>

#include "app/HostServerFacade.h"
#include "server/HostServer.h"

namespace jolto {

// The controller page's transport beside the server, as the runtime runs it.
struct WebPageHooks {
    // Once, before the server starts: the page's state events join the server's.
    std::function<void(HostServerFacade::Emit)> attach;
    std::function<void(bool on)> setEnabled;
};

// The real server behind the model's requests.
class HostServerAdapter final : public HostServerFacade {
public:
    explicit HostServerAdapter(std::shared_ptr<HostServer> server, WebPageHooks web = {})
        : server_(std::move(server)), web_(std::move(web)) {}

    void start(OutputMode mode, KeyMapping mapping, Emit onEvent) override {
        if (web_.attach) {
            web_.attach(onEvent);
        }
        server_->start(mode, std::move(mapping), std::move(onEvent));
    }
    void setWebPage(bool on) override {
        if (web_.setEnabled) {
            web_.setEnabled(on);
        }
    }
    void setMode(OutputMode mode) override { server_->setMode(mode); }
    void setGamepadDevice(GamepadDevice device) override { server_->setGamepadDevice(device); }
    void setMapping(KeyMapping mapping) override { server_->setMapping(std::move(mapping)); }
    void setRumbleStrength(float strength) override { server_->setRumbleStrength(strength); }
    void setAudioRumble(RumbleLevels levels) override { server_->setAudioRumble(levels); }
    void regeneratePIN() override { server_->regeneratePIN(); }
    void forget(Uuid device) override { server_->forget(device); }
    void testRumble() override { server_->testRumble(); }
    void retryGamepads() override { server_->retryGamepads(); }

private:
    std::shared_ptr<HostServer> server_;
    WebPageHooks web_;
};

} // namespace jolto
