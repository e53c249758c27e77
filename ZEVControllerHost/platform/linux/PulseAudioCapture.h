#pragma once

#include <chrono>
#include <memory>

#include "platform/AudioCapture.h"

namespace jolto {

// Capture through the PulseAudio client library, which PipeWire's pulse server answers just the
// same: a record stream on the default sink's monitor, stereo float32 at the sink's rate (the
// server downmixes), delivered in fragments of about 10 ms on the threaded main loop's thread
// (the capture context), scaled to make up for the sink's software volume. A server is never
// spawned for us; one that is missing fails the connection.
class PulseAudioCapture final : public AudioCapture {
public:
    // How long any one request to the server may take before it counts as failed.
    explicit PulseAudioCapture(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~PulseAudioCapture() override;

    PulseAudioCapture(const PulseAudioCapture&) = delete;
    PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

    std::int32_t connect() override;
    Result<std::string> defaultOutput() override;
    Result<Output> describeOutput(const std::string& name) override;
    std::int32_t openStream(const std::string& source, const Format& format, InputHandler onInput,
                            PauseHandler onPause) override;
    Format streamFormat() const override;
    std::int32_t startStream() override;
    bool watchDefaultOutput(ChangeHandler onChange) override;
    void unwatchDefaultOutput() override;
    void stopStream() override;
    void closeStream() override;
    void disconnect() override;
    void runOnCaptureContext(const std::function<void()>& work) override;

private:
    struct Connection;

    std::chrono::milliseconds timeout_;
    std::unique_ptr<Connection> connection_; // present between connect and disconnect
};

// The capture of the system's audio output on this computer.
std::unique_ptr<AudioCapture> makeSystemAudioCapture();

} // namespace jolto
