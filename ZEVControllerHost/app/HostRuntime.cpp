#include "app/HostRuntime.h"

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "app/HostServerAdapter.h"
#include "platform/linux/PageAddress.h"
#include "platform/linux/UhidDevice.h"
#include "platform/linux/UinputGamepadDevice.h"
#include "server/HostServer.h"

namespace jolto {

namespace {

std::filesystem::path settingsPath() {
    if (auto path = JsonFileSettingsStore::defaultPath()) {
        return *path;
    }
    // Without a home folder the settings last as long as the session's runtime folder.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::filesystem::path base =
        runtime != nullptr && runtime[0] == '/'
            ? std::filesystem::path(runtime)
            : std::filesystem::temp_directory_path() / ("jolto-host-" + std::to_string(::getuid()));
    return base / "jolto-host" / "settings.json";
}

} // namespace

HostRuntime::HostRuntime()
    : work_(asio::make_work_guard(context_)),
      settings_(std::make_unique<JsonFileSettingsStore>(settingsPath())), listener_(context_),
      webListener_(context_), transports_({&listener_, &webListener_}), inputSink_(clock_),
      keyboard_(inputSink_, display_), keyboardTarget_(keyboard_),
      gamepads_(uinputGamepads_, uhid_,
                [](GamepadDevice device) {
                    return device == GamepadDevice::hid ? hasVirtualDeviceEntitlement()
                                                        : hasUinputGamepadAccess();
                }),
      thread_([this] { context_.run(); }) {}

HostRuntime::~HostRuntime() {
    stopServerThread();
}

std::shared_ptr<HostServerFacade> HostRuntime::makeServer(const std::string& hostName) {
    HostServer::Ports ports{
        .context = context_,
        .clock = clock_,
        .listener = transports_,
        .advertiser = &advertiser_,
        .settings = *settings_,
        .keyboard = keyboardTarget_,
        .gamepads = gamepads_,
        .runTimers = true,
        .retirement = nullptr,
        .pinSource = {},
    };
    WebPageHooks web;
    web.attach = [this, hostName](HostServerFacade::Emit emit) {
        asio::post(context_, [this, hostName, emit = std::move(emit)] {
            transports_.onStateChanged(
                [this, hostName, emit](std::size_t, const ListenerState& state) {
                    if (state.kind == ListenerState::Kind::ready) {
                        webAdvertiser_.publish(hostName, "_http._tcp", state.port, {});
                    } else {
                        webAdvertiser_.withdraw();
                    }
                    emit(HostEvent::WebPage{state, state.kind == ListenerState::Kind::ready
                                                       ? pageAddress(state.port)
                                                       : std::string()});
                });
        });
    };
    web.setEnabled = [this](bool on) {
        asio::post(context_, [this, on] { transports_.setEnabled(1, on); });
    };
    return std::make_shared<HostServerAdapter>(HostServer::create(hostName, ports), std::move(web));
}

void HostRuntime::stopServerThread() {
    if (!thread_.joinable()) {
        return;
    }
    work_.reset();
    context_.stop();
    thread_.join();
}

} // namespace jolto
