#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/RumbleAnalyzer.h"
#include "platform/AudioCapture.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "protocol/RumbleLevels.h"

namespace jolto {

// Listens to what the computer plays (without muting it), runs it through a RumbleAnalyzer and
// hands the levels to its owner at most every 16 ms, staying quiet during silence. When audio
// stops arriving (a suspended output, a stalled or failed stream) it publishes (0, 0) once, so
// no motor is left running on the last level. It also
// reports when the default output changes, or the sound server goes away, so the owner can
// rebuild the capture. Only the two levels ever leave this object: no audio is kept or sent.
//
// start, stop and destruction run on the owner's thread, never from inside a callback.
class SystemAudioRumble {
public:
    using LevelsHandler = std::function<void(RumbleLevels)>;
    using DeviceChangeHandler = std::function<void()>;

    struct TapError {
        std::string step; // what could not be done, e.g. "find the audio output"
        std::int32_t status = 0;

        // "Couldn't " + step + " (error " + status + ")."
        std::string description() const;

        friend bool operator==(const TapError&, const TapError&) = default;
    };

    static constexpr auto publishInterval = std::chrono::milliseconds(16);
    // An owner that rebuilds after onDeviceChange waits at least this long after its previous
    // start: a sound server that keeps failing right after accepting us must not make it spin.
    static constexpr auto minimumRebuildSpacing = std::chrono::seconds(1);

    // How long an owner waits before its `attempt`-th retry (1, 2, ...) of a capture that could
    // not start: 1 s, 2 s, 4 s, then every 10 s. A sound server that restarts (a desktop's
    // audio service being restarted) is back within a few seconds.
    static std::chrono::milliseconds retryDelay(int attempt);

    // `onLevels` is called on the capture context and on the thread calling stop;
    // `onDeviceChange` on the capture context. Both must be safe from any thread and must not
    // block. Creation touches no sound server.
    SystemAudioRumble(std::unique_ptr<AudioCapture> capture, LevelsHandler onLevels,
                      DeviceChangeHandler onDeviceChange,
                      std::shared_ptr<const Clock> clock = std::make_shared<SteadyClock>());
    ~SystemAudioRumble();

    SystemAudioRumble(const SystemAudioRumble&) = delete;
    SystemAudioRumble& operator=(const SystemAudioRumble&) = delete;

    // Tears down any earlier capture, then builds and starts a new one. On failure whatever was
    // already built stays until stop (or destruction) removes it.
    [[nodiscard]] std::optional<TapError> start();
    // Removes everything in the reverse order of creation, then publishes (0, 0) once, even
    // when nothing ran.
    void stop();

private:
    void configureFormat(const AudioCapture::Format& format);
    void handleInput(std::span<const AudioCapture::Buffer> buffers);
    void handlePause();
    void publish();

    std::unique_ptr<AudioCapture> capture_;
    std::shared_ptr<const Clock> clock_;
    Logger logger_{"AudioRumble"};
    LevelsHandler onLevels_;
    DeviceChangeHandler onDeviceChange_;

    // Touched only on the capture context (or excluded from it by configureFormat's hop).
    RumbleAnalyzer analyzer_;
    AudioCapture::Format format_;
    RumbleLevels lastPublished_;
    Instant lastPublishTime_;
    std::vector<const float*> planarChannels_;

    // What the current capture has built, in the order it was built.
    bool connected_ = false;
    bool streamOpen_ = false;
    bool watching_ = false;
};

} // namespace jolto
