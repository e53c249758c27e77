#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/HostServerFacade.h"
#include "audio/SystemAudioRumble.h"
#include "output/GamepadDevice.h"
#include "platform/AudioCapture.h"
#include "platform/Clock.h"

namespace jolto {

// What the host model asks of the computer it runs on. The program fills it with the Linux
// answers (LinuxHostPlatform); tests fill it with fakes.
struct HostModelPlatform {
    // Whether synthesized input reaches other programs (on Linux: /dev/uinput is writable).
    std::function<bool()> hasInputAccess;
    // Whether virtual gamepads of a kind can be made (on Linux: /dev/uinput or /dev/uhid
    // opens).
    std::function<bool(GamepadDevice)> hasGamepadAccess;
    // The computer's display name; empty when the system gives none.
    std::function<std::string()> computerName;
    // The server, made once with the host name the phones will see.
    std::function<std::shared_ptr<HostServerFacade>(const std::string& hostName)> makeServer;
    // A fresh capture of the system's audio output for each start of audio rumble.
    std::function<std::unique_ptr<AudioCapture>()> makeAudioCapture;
    // Opens what belongs to a settings anchor ("Privacy_Accessibility", "Privacy_ScreenCapture"):
    // the desktop's settings or the help text. Unknown anchors open nothing.
    std::function<void(const std::string& anchor)> openSettings;
    // Starts granting input and gamepad access (the access helper) without waiting, and calls
    // `done` once, from any thread, when it has finished: with true when access was granted.
    // Returns false, and never calls `done`, when there is no way to grant access from here.
    std::function<bool(std::function<void(bool granted)> done)> startAccessRequest;

    std::shared_ptr<const Clock> clock = std::make_shared<SteadyClock>();
    // How often input and gamepad access are asked again.
    std::chrono::milliseconds accessPollInterval{2000};
    // The least time between starts of audio capture when a change of output rebuilds it.
    std::chrono::milliseconds audioRebuildSpacing =
        std::chrono::duration_cast<std::chrono::milliseconds>(
            SystemAudioRumble::minimumRebuildSpacing);
    // How long to wait before the n-th retry of an audio capture that failed to start.
    std::function<std::chrono::milliseconds(int attempt)> audioRetryDelay =
        SystemAudioRumble::retryDelay;
};

} // namespace jolto
