// The host model's audio rumble: starting and stopping the capture, its levels and problems,
// retrying after the sound server went away, and following the default output.
#include "app/HostModel.h"

namespace jolto {

void HostModel::setRumbleLevels(RumbleLevels levels) {
    if (levels == rumbleLevels_) {
        return;
    }
    rumbleLevels_ = levels;
    Q_EMIT rumbleLevelsChanged();
}

void HostModel::setAudioRumbleProblem(std::optional<std::string> problem) {
    if (problem == audioRumbleProblem_) {
        return;
    }
    audioRumbleProblem_ = std::move(problem);
    Q_EMIT audioRumbleProblemChanged();
}

void HostModel::setListeningToAudio(bool listening) {
    if (listening == isListeningToAudio_) {
        return;
    }
    isListeningToAudio_ = listening;
    Q_EMIT isListeningToAudioChanged();
}

void HostModel::stopAudioRumble() {
    if (audioRumble_) {
        // Delivers the final zero levels to the server and (posted) to the meter.
        audioRumble_->stop();
        audioRumble_.reset();
    }
}

void HostModel::updateAudioRumble() {
    if (!rumbleFromAudio_) {
        audioRebuild_.stop();
        audioRetries_ = 0;
        stopAudioRumble();
        setListeningToAudio(false);
        setRumbleLevels(RumbleLevels{0, 0});
        setAudioRumbleProblem(std::nullopt);
        return;
    }
    if (audioRumble_) {
        return;
    }
    if (!platform_.makeAudioCapture) {
        return;
    }

    const std::uint64_t generation = ++audioGeneration_;
    std::weak_ptr<MainThreadHandoff> weakHandoff = handoff_;
    auto onLevels = [weakHandoff, server = server_, this](RumbleLevels levels) {
        server->setAudioRumble(levels);
        if (auto handoff = weakHandoff.lock()) {
            handoff->post([this, levels] { setRumbleLevels(levels); });
        }
    };
    auto onDeviceChange = [weakHandoff, this, generation] {
        if (auto handoff = weakHandoff.lock()) {
            handoff->post([this, generation] { outputDeviceChanged(generation); });
        }
    };
    auto capture =
        std::make_unique<SystemAudioRumble>(platform_.makeAudioCapture(), std::move(onLevels),
                                            std::move(onDeviceChange), platform_.clock);
    lastAudioStart_ = platform_.clock->now();
    if (auto error = capture->start()) {
        const std::string description = error->description();
        // Logged when the problem appears or changes, not at every retry.
        if (audioRumbleProblem_ != description) {
            logger_.error("Audio rumble: " + description);
        }
        setAudioRumbleProblem(description);
        setListeningToAudio(false);
        // Still switched on: try again later, as a sound server that is restarting (or not yet
        // started at log-in) comes back by itself.
        ++audioRetries_;
        audioRebuild_.start(platform_.audioRetryDelay(audioRetries_));
        return;
    }
    if (audioRetries_ > 0) {
        logger_.info("Audio rumble: listening again");
    }
    audioRetries_ = 0;
    audioRumble_ = std::move(capture);
    setListeningToAudio(true);
    setAudioRumbleProblem(std::nullopt);
}

void HostModel::outputDeviceChanged(std::uint64_t generation) {
    // Notices from a capture that has since been replaced or stopped, and further notices
    // while a rebuild is already due, change nothing.
    if (generation != audioGeneration_ || !audioRumble_ || audioRebuild_.isActive()) {
        return;
    }
    rebuildAudioRumble();
}

void HostModel::rebuildAudioRumble() {
    if (!rumbleFromAudio_) {
        return;
    }
    // A sound server that fails right after accepting the capture would otherwise have us
    // reconnect as fast as it can refuse.
    const auto earliest = lastAudioStart_ + platform_.audioRebuildSpacing;
    const auto now = platform_.clock->now();
    if (now < earliest) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - now);
        audioRebuild_.start(wait);
        return;
    }
    stopAudioRumble();
    updateAudioRumble();
}

} // namespace jolto
