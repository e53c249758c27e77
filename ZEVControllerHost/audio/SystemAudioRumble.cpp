#include "audio/SystemAudioRumble.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace jolto {

namespace {

using Error = SystemAudioRumble::TapError;

std::uint32_t clampedFrames(std::size_t frames) {
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(frames, std::numeric_limits<std::uint32_t>::max()));
}

} // namespace

std::string SystemAudioRumble::TapError::description() const {
    return "Couldn't " + step + " (error " + std::to_string(status) + ").";
}

std::chrono::milliseconds SystemAudioRumble::retryDelay(int attempt) {
    using namespace std::chrono_literals;
    switch (attempt) {
    case 1:
        return 1s;
    case 2:
        return 2s;
    case 3:
        return 4s;
    default:
        return attempt < 1 ? 1s : 10s;
    }
}

SystemAudioRumble::SystemAudioRumble(std::unique_ptr<AudioCapture> capture, LevelsHandler onLevels,
                                     DeviceChangeHandler onDeviceChange,
                                     std::shared_ptr<const Clock> clock)
    : capture_(std::move(capture)), clock_(std::move(clock)), onLevels_(std::move(onLevels)),
      onDeviceChange_(std::move(onDeviceChange)), lastPublishTime_(clock_->now()) {}

SystemAudioRumble::~SystemAudioRumble() {
    stop();
}

std::optional<Error> SystemAudioRumble::start() {
    stop();

    if (auto status = capture_->connect(); status != 0) {
        return Error{"connect to the sound server", status};
    }
    connected_ = true;

    auto output = capture_->defaultOutput();
    if (output.status != 0) {
        return Error{"find the audio output", output.status};
    }
    if (output.value.empty()) {
        return Error{"find the audio output", -1};
    }

    auto described = capture_->describeOutput(output.value);
    if (described.status != 0) {
        return Error{"identify the audio output", described.status};
    }
    if (described.value.monitorSource.empty()) {
        return Error{"identify the audio output", -1};
    }
    const AudioCapture::Format& outputFormat = described.value.format;
    if (!(outputFormat.sampleRate > 0) || outputFormat.channels == 0) {
        return Error{"read the audio format", -1};
    }

    // Stereo floats at the output's own rate: the sound server mixes any speaker layout down to
    // two channels with its own rules, so the same game sound gives the same levels on stereo
    // speakers and on a 5.1 system.
    AudioCapture::Format wanted;
    wanted.sampleRate = outputFormat.sampleRate;
    wanted.channels = 2;
    wanted.isFloat = true;
    wanted.interleaved = true;
    auto onInput = [this](std::span<const AudioCapture::Buffer> buffers) { handleInput(buffers); };
    auto onPause = [this] { handlePause(); };
    if (auto status = capture_->openStream(described.value.monitorSource, wanted, onInput, onPause);
        status != 0) {
        return Error{"listen to system audio", status};
    }
    streamOpen_ = true;

    const AudioCapture::Format delivered = capture_->streamFormat();
    if (!delivered.isFloat) {
        return Error{"use the system audio format", delivered.encoding};
    }

    capture_->runOnCaptureContext([this, &delivered] { configureFormat(delivered); });

    if (auto status = capture_->startStream(); status != 0) {
        return Error{"start listening", status};
    }

    // The watch holds a copy of the callback, not this object. Failing to watch is not fatal:
    // the capture still works, it just won't follow the default output.
    watching_ = capture_->watchDefaultOutput([onDeviceChange = onDeviceChange_] {
        if (onDeviceChange) {
            onDeviceChange();
        }
    });

    // The rate as "%f" would print it in the C locale, whatever the user's locale says.
    char rate[64];
    const auto written =
        std::to_chars(rate, rate + sizeof rate, delivered.sampleRate, std::chars_format::fixed, 6);
    logger_.info("System audio rumble started at " +
                 std::string(rate, written.ec == std::errc() ? written.ptr : rate) + " Hz, " +
                 std::to_string(delivered.channels) + " ch");
    return std::nullopt;
}

void SystemAudioRumble::stop() {
    if (watching_) {
        capture_->unwatchDefaultOutput();
        watching_ = false;
    }
    if (streamOpen_) {
        capture_->stopStream();
        capture_->closeStream();
        streamOpen_ = false;
    }
    if (connected_) {
        capture_->disconnect();
        connected_ = false;
    }
    if (onLevels_) {
        onLevels_(RumbleLevels{0, 0});
    }
}

void SystemAudioRumble::configureFormat(const AudioCapture::Format& format) {
    format_ = format;
    analyzer_ = RumbleAnalyzer(format.sampleRate);
    lastPublished_ = RumbleLevels{0, 0};
    // Sized once here so that handling a planar delivery never allocates.
    planarChannels_.clear();
    planarChannels_.reserve(std::max<std::uint32_t>(format.channels, 2));
}

void SystemAudioRumble::handleInput(std::span<const AudioCapture::Buffer> buffers) {
    const std::uint32_t channels = format_.channels == 0 ? 1 : format_.channels;

    if (format_.interleaved && !buffers.empty() && buffers.front().data != nullptr) {
        const auto& buffer = buffers.front();
        const std::uint32_t frames = clampedFrames(buffer.byteSize / (sizeof(float) * channels));
        if (frames >= 1) {
            analyzer_.processInterleaved(static_cast<const float*>(buffer.data), frames, channels);
        }
        publish();
        return;
    }

    // One buffer per channel; a delivery that claims to be interleaved but has no first buffer
    // is read this way too.
    // The frame count comes from the shortest channel, so no buffer is read past its end even
    // when the channels disagree.
    planarChannels_.clear();
    std::size_t shortest = std::numeric_limits<std::size_t>::max();
    for (const auto& buffer : buffers) {
        if (buffer.data != nullptr) {
            planarChannels_.push_back(static_cast<const float*>(buffer.data));
            shortest = std::min(shortest, buffer.byteSize);
        }
    }
    if (planarChannels_.empty()) {
        return;
    }
    const std::uint32_t frames = clampedFrames(shortest / sizeof(float));
    if (frames >= 1) {
        analyzer_.processPlanar(planarChannels_, frames);
    }
    publish();
}

void SystemAudioRumble::handlePause() {
    // What the analyser holds is the sound from before the pause; replayed as it decays, it
    // would drive the motors after the audio has gone. The next sound starts from rest.
    analyzer_ = RumbleAnalyzer(format_.sampleRate);
    if (lastPublished_ == RumbleLevels{0, 0}) {
        return;
    }
    lastPublished_ = RumbleLevels{0, 0};
    lastPublishTime_ = clock_->now();
    if (onLevels_) {
        onLevels_(lastPublished_);
    }
}

void SystemAudioRumble::publish() {
    const RumbleLevels candidate = analyzer_.currentLevels();
    const Instant now = clock_->now();
    if (now - lastPublishTime_ < publishInterval) {
        return;
    }
    // The first quiet levels after sound are still published, so the owner sees it end.
    if (!candidate.isActive() && !lastPublished_.isActive()) {
        return;
    }
    lastPublishTime_ = now;
    lastPublished_ = candidate;
    if (onLevels_) {
        onLevels_(candidate);
    }
}

} // namespace jolto
