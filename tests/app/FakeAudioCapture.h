#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/AudioCapture.h"
#include "platform/Clock.h"

namespace jolto {

// A copy of `value`, taken under `mutex`.
template <typename T> T locked(std::mutex& mutex, const T& value) {
    std::lock_guard lock(mutex);
    return value;
}

// The sound server behind every capture the model makes; it plays into the running one.
struct FakeSoundServer {
    std::atomic<std::int32_t> connectStatus{0};
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};

    std::mutex mutex;
    AudioCapture::InputHandler onInput;
    AudioCapture::ChangeHandler onChange;

    void play(float value, std::size_t frames = 480) {
        std::vector<float> samples(frames * 2, value);
        AudioCapture::Buffer buffer{samples.data(), samples.size() * sizeof(float)};
        if (auto handler = locked(mutex, onInput)) {
            handler(std::span(&buffer, 1));
        }
    }
    void changeOutput() {
        if (auto handler = locked(mutex, onChange)) {
            handler();
        }
    }
    template <typename T> void hold(T& handler, T value) {
        std::lock_guard lock(mutex);
        handler = std::move(value);
    }
};

class FakeAudioCapture final : public AudioCapture {
public:
    explicit FakeAudioCapture(std::shared_ptr<FakeSoundServer> server) : s_(std::move(server)) {}

    std::int32_t connect() override {
        ++s_->connects;
        return s_->connectStatus;
    }
    Result<std::string> defaultOutput() override { return {0, "speakers"}; }
    Result<Output> describeOutput(const std::string&) override {
        return {0, {"speakers.monitor", {48000, 2}}};
    }
    std::int32_t openStream(const std::string&, const Format&, InputHandler onInput,
                            PauseHandler) override {
        s_->hold(s_->onInput, std::move(onInput));
        return 0;
    }
    Format streamFormat() const override { return {48000, 2, true, true, 5}; }
    std::int32_t startStream() override { return 0; }
    bool watchDefaultOutput(ChangeHandler onChange) override {
        s_->hold(s_->onChange, std::move(onChange));
        return true;
    }
    void unwatchDefaultOutput() override { s_->hold(s_->onChange, {}); }
    void stopStream() override {}
    void closeStream() override { s_->hold(s_->onInput, {}); }
    void disconnect() override { ++s_->disconnects; }
    void runOnCaptureContext(const std::function<void()>& work) override { work(); }

private:
    std::shared_ptr<FakeSoundServer> s_;
};

// A monotonic clock that moves only when told; safe to read from any thread.
class ManualClock final : public Clock {
public:
    Instant now() const override { return Instant(Duration(now_.load())); }
    void advance(Duration by) { now_ += by.count(); }

private:
    std::atomic<Duration::rep> now_{
        std::chrono::duration_cast<Duration>(std::chrono::seconds(1000)).count()};
};

} // namespace jolto
