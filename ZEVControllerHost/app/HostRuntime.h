#pragma once

#include <memory>
#include <string>
#include <thread>

#include "server/Asio.h"

#include "app/HostServerFacade.h"
#include "output/KeyboardMouseOutput.h"
#include "output/KeyboardMouseOutputTarget.h"
#include "output/VirtualGamepadFactory.h"
#include "platform/Clock.h"
#include "platform/linux/AsioUdpListener.h"
#include "platform/linux/AvahiAdvertiser.h"
#include "platform/linux/JsonFileSettingsStore.h"
#include "platform/linux/UhidDeviceFactory.h"
#include "platform/linux/UinputGamepadDeviceFactory.h"
#include "platform/linux/UinputKeyboardMouse.h"
#include "platform/linux/UnknownPointerDisplay.h"
#include "platform/linux/WebSocketListener.h"
#include "server/TransportMux.h"

namespace jolto {

// What the server runs on: its io_context and thread, the UDP listener and the controller page's
// WebSocket listener behind one transport mux, the DNS-SD advertisements, the settings file, the
// uinput keyboard and mouse and the gamepads (uinput, or uhid for the HID choice).
//
// Order of the end: `stopServerThread` first, then the model (which owns the server), then
// this. The server refers to these parts until it is gone.
class HostRuntime {
public:
    HostRuntime();
    ~HostRuntime();

    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;

    SettingsStore& settings() { return *settings_; }
    // The server for the model, made on the runtime's context; once.
    std::shared_ptr<HostServerFacade> makeServer(const std::string& hostName);
    // Stops the server's thread; nothing of the server runs afterwards.
    void stopServerThread();

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    SteadyClock clock_;
    std::unique_ptr<JsonFileSettingsStore> settings_;
    AsioUdpListener listener_;
    WebSocketListener webListener_;
    TransportMux transports_;
    AvahiAdvertiser advertiser_;
    // The page as `_http._tcp`, so that a browser's service list finds it too.
    AvahiAdvertiser webAdvertiser_;
    UinputKeyboardMouse inputSink_;
    UnknownPointerDisplay display_;
    KeyboardMouseOutput keyboard_;
    KeyboardMouseOutputTarget keyboardTarget_;
    UinputGamepadDeviceFactory uinputGamepads_;
    UhidDeviceFactory uhid_;
    VirtualGamepadFactory gamepads_;
    std::thread thread_;
};

} // namespace jolto
