#include "platform/linux/PulseAudioCapture.h"

#include <cstring>
#include <vector>

#include <pulse/pulseaudio.h>

namespace jolto {

namespace {

constexpr const char* applicationName = "JOLTO Host";
constexpr const char* streamName = "JOLTO Rumble";
// Without an explicit fragment size the server hands over record data in bursts of about two
// seconds, far too late for rumble.
constexpr pa_usec_t fragmentDuration = 10 * PA_USEC_PER_MSEC;
constexpr pa_usec_t stallUsec =
    static_cast<pa_usec_t>(AudioCapture::stallTimeout.count()) * PA_USEC_PER_MSEC;
// Volume compensation never amplifies more than this (80 dB): below it the sink's own
// rounding is all that is left of the sound.
constexpr float maximumGain = 10000.0f;
// Samples scaled for volume compensation go through a buffer of this many floats, allocated
// before audio flows; a longer delivery is handed over in pieces.
constexpr std::size_t scratchSamples = 16384;

// What makes up for the sink's volume: the inverse of its average linear channel volume.
float gainFor(const pa_cvolume& volume) {
    if (volume.channels == 0) {
        return 1.0f;
    }
    double sum = 0;
    for (unsigned c = 0; c < volume.channels; ++c) {
        sum += pa_sw_volume_to_linear(volume.values[c]);
    }
    const double average = sum / volume.channels;
    return average * maximumGain <= 1.0 ? maximumGain : static_cast<float>(1.0 / average);
}

std::int32_t statusOf(pa_context* context) {
    const int error = context != nullptr ? pa_context_errno(context) : 0;
    return error != 0 ? error : -1;
}

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

AudioCapture::Format formatOf(const pa_sample_spec& sampleSpec) {
    AudioCapture::Format format;
    format.sampleRate = sampleSpec.rate;
    format.channels = sampleSpec.channels;
    format.isFloat = sampleSpec.format == PA_SAMPLE_FLOAT32NE;
    format.interleaved = true;
    format.encoding = static_cast<std::int32_t>(sampleSpec.format);
    return format;
}

} // namespace

// Everything that lives with the server connection. The main loop's callbacks get a pointer to
// it; it outlives them because teardown stops the loop thread before it is destroyed.
struct PulseAudioCapture::Connection {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool loopRunning = false;
    pa_usec_t timeout = 0;

    std::string defaultSink; // as last read by defaultOutput
    bool onPipeWire = false; // the server is PipeWire's pulse server
    std::string describedMonitor;
    std::uint32_t describedIndex = PA_INVALID_INDEX;
    pa_sink_flags_t describedFlags{};
    pa_cvolume describedVolume{};
    std::string streamSource;

    InputHandler onInput;
    PauseHandler onPause;
    ChangeHandler onChange;
    std::string watchedSink;
    bool watching = false;
    // The connection or the stream has gone; reported to onChange once, whenever it is set.
    bool lost = false;
    bool lossReported = false;

    // Since the last pause, buffers have been arriving; the latest came at `lastBuffer`.
    bool flowing = false;
    pa_usec_t lastBuffer = 0;
    pa_time_event* stallTimer = nullptr;
    bool stallArmed = false;

    // Sink volume compensation for the stream's sink (PA_INVALID_INDEX: none).
    std::uint32_t compensatedSink = PA_INVALID_INDEX;
    float gain = 1.0f;
    std::vector<float> scratch;

    ~Connection() { teardown(); }

    bool contextGood() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }

    // With the loop locked: waits until `done()`, the connection breaks or the deadline passes.
    template <typename Done> void waitFor(Done done) {
        struct Alarm {
            pa_threaded_mainloop* loop;
            bool rang = false;
        } alarm{loop};
        pa_time_event* timer = pa_context_rttime_new(
            context, pa_rtclock_now() + timeout,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
                auto* a = static_cast<Alarm*>(userdata);
                a->rang = true;
                pa_threaded_mainloop_signal(a->loop, 0);
            },
            &alarm);
        while (!done() && contextGood() && !alarm.rang) {
            pa_threaded_mainloop_wait(loop);
        }
        if (timer != nullptr) {
            pa_threaded_mainloop_get_api(loop)->time_free(timer);
        }
    }

    // With the loop locked: waits for an operation whose callback sets `finished`.
    std::int32_t finish(pa_operation* operation, const bool& finished) {
        if (operation == nullptr) {
            return statusOf(context);
        }
        waitFor([&] { return finished; });
        if (!finished) {
            pa_operation_cancel(operation);
        }
        pa_operation_unref(operation);
        if (finished) {
            return 0;
        }
        return contextGood() ? -1 : statusOf(context);
    }

    // The capture can no longer work as built; the owner rebuilds it. Reported once.
    void reportLoss() {
        lost = true;
        if (onChange && !lossReported) {
            lossReported = true;
            onChange();
        }
    }

    // Audio has stopped arriving: the owner hears it once, until buffers come again.
    void pause() {
        if (flowing) {
            flowing = false;
            if (onPause) {
                onPause();
            }
        }
    }

    static void contextStateChanged(pa_context* context, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            self->pause();
            self->reportLoss();
        }
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void streamStateChanged(pa_stream* stream, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            self->pause();
            self->reportLoss();
        }
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void streamSuspended(pa_stream* stream, void* userdata) {
        if (pa_stream_is_suspended(stream) > 0) {
            static_cast<Connection*>(userdata)->pause();
        }
    }

    static void streamEvent(pa_stream*, const char* name, pa_proplist*, void* userdata) {
        if (std::strcmp(name, PA_STREAM_EVENT_REQUEST_CORK) == 0) {
            static_cast<Connection*>(userdata)->pause();
        }
    }

    // Once buffers have been arriving, a check is due `stallTimeout` after the latest one.
    void noteBuffer() {
        lastBuffer = pa_rtclock_now();
        flowing = true;
        if (!stallArmed && stallTimer != nullptr) {
            stallArmed = true;
            pa_context_rttime_restart(context, stallTimer, lastBuffer + stallUsec);
        }
    }

    static void stallCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                           void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        self->stallArmed = false;
        if (!self->flowing) {
            return;
        }
        const pa_usec_t due = self->lastBuffer + stallUsec;
        if (pa_rtclock_now() >= due) {
            self->pause();
        } else {
            self->stallArmed = true;
            pa_context_rttime_restart(self->context, self->stallTimer, due);
        }
    }

    void deliver(const void* data, size_t bytes) {
        if (gain == 1.0f) {
            const Buffer buffer{data, bytes};
            onInput(std::span(&buffer, 1));
            return;
        }
        // Whole frames per piece: the scratch size is a multiple of the two channels.
        const auto* samples = static_cast<const float*>(data);
        std::size_t left = bytes / sizeof(float);
        while (left > 0) {
            const std::size_t count = std::min(left, scratch.size());
            for (std::size_t i = 0; i < count; ++i) {
                scratch[i] = samples[i] * gain;
            }
            const Buffer buffer{scratch.data(), count * sizeof(float)};
            onInput(std::span(&buffer, 1));
            samples += count;
            left -= count;
        }
    }

    static void streamReadable(pa_stream* stream, size_t, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            self->noteBuffer();
            // A hole (data lost by the server) carries no samples: skip it.
            if (data != nullptr && self->onInput) {
                self->deliver(data, bytes);
            }
            pa_stream_drop(stream);
        }
    }

    static void serverEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                            void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_SERVER:
            self->checkDefaultSink(context);
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            if (index == self->compensatedSink &&
                (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE) {
                self->readSinkVolume();
            }
            break;
        default:
            break;
        }
    }

    // Asks for the events of the default sink setting and of the compensated sink's volume.
    void updateSubscription() {
        const int mask = (watching ? PA_SUBSCRIPTION_MASK_SERVER : 0) |
                         (compensatedSink != PA_INVALID_INDEX ? PA_SUBSCRIPTION_MASK_SINK : 0);
        if (contextGood()) {
            if (pa_operation* operation = pa_context_subscribe(
                    context, static_cast<pa_subscription_mask_t>(mask), nullptr, nullptr)) {
                pa_operation_unref(operation);
            }
        }
    }

    // Reads the compensated sink's volume anew; the answer sets the gain on the capture
    // context, where the samples are scaled.
    void readSinkVolume() {
        pa_operation* operation = pa_context_get_sink_info_by_index(
            context, compensatedSink,
            [](pa_context*, const pa_sink_info* info, int last, void* userdata) {
                auto* self = static_cast<Connection*>(userdata);
                if (last == 0 && info != nullptr && info->index == self->compensatedSink) {
                    self->gain = gainFor(info->volume);
                }
            },
            this);
        if (operation != nullptr) {
            pa_operation_unref(operation);
        }
    }

    void checkDefaultSink(pa_context* c) {
        pa_operation* operation = pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* info, void* userdata) {
                auto* self = static_cast<Connection*>(userdata);
                if (info == nullptr || !self->onChange) {
                    return;
                }
                // Server events also cover the default source and other settings; only a new
                // default sink matters here.
                std::string current = info->default_sink_name ? info->default_sink_name : "";
                if (current != self->watchedSink) {
                    self->watchedSink = std::move(current);
                    self->onChange();
                }
            },
            this);
        if (operation != nullptr) {
            pa_operation_unref(operation);
        }
    }

    // The monitor of a PulseAudio sink with software volume carries the mix after that volume:
    // at 30 % a full-scale tone arrives at a thirtieth of its level and the bass never clears
    // the analyser's noise floor. Recording every program's stream before the volume would
    // mean one stream per program and mixing them here; instead the samples are scaled by the
    // inverse of the sink's volume, which is watched for changes. Two cases need no help and
    // get none: a sink with hardware volume attenuates after its monitor, and PipeWire's
    // monitor ports are taken before the node's volume. A muted sink delivers silence either
    // way.
    void compensateVolume() {
        if (onPipeWire || streamSource != describedMonitor || describedIndex == PA_INVALID_INDEX ||
            (describedFlags & PA_SINK_HW_VOLUME_CTRL)) {
            return;
        }
        compensatedSink = describedIndex;
        gain = gainFor(describedVolume);
        updateSubscription();
        // A change between describing the sink and subscribing would otherwise go unseen.
        readSinkVolume();
    }

    void releaseStream() {
        if (stream == nullptr) {
            return;
        }
        silenceStream();
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            pa_stream_disconnect(stream);
        }
        pa_stream_unref(stream);
        stream = nullptr;
        onInput = nullptr;
        onPause = nullptr;
    }

    // No callback of the stream runs after this.
    void silenceStream() {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        pa_stream_set_event_callback(stream, nullptr, nullptr);
        if (stallTimer != nullptr) {
            pa_threaded_mainloop_get_api(loop)->time_free(stallTimer);
            stallTimer = nullptr;
            stallArmed = false;
        }
        flowing = false;
        compensatedSink = PA_INVALID_INDEX;
        gain = 1.0f;
    }

    void teardown() {
        if (loop == nullptr) {
            return;
        }
        if (loopRunning) {
            pa_threaded_mainloop_lock(loop);
        }
        onChange = nullptr;
        releaseStream();
        if (context != nullptr) {
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        if (loopRunning) {
            pa_threaded_mainloop_unlock(loop);
            pa_threaded_mainloop_stop(loop);
            loopRunning = false;
        }
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
    }
};

PulseAudioCapture::PulseAudioCapture(std::chrono::milliseconds timeout) : timeout_(timeout) {}

PulseAudioCapture::~PulseAudioCapture() = default;

std::int32_t PulseAudioCapture::connect() {
    connection_.reset();
    auto connection = std::make_unique<Connection>();
    connection->timeout = static_cast<pa_usec_t>(timeout_.count()) * PA_USEC_PER_MSEC;
    connection->loop = pa_threaded_mainloop_new();
    if (connection->loop == nullptr) {
        return -1;
    }
    connection->context =
        pa_context_new(pa_threaded_mainloop_get_api(connection->loop), applicationName);
    if (connection->context == nullptr) {
        return -1;
    }
    pa_context_set_state_callback(connection->context, Connection::contextStateChanged,
                                  connection.get());
    pa_context_set_subscribe_callback(connection->context, Connection::serverEvent,
                                      connection.get());
    if (pa_context_connect(connection->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return statusOf(connection->context);
    }
    if (pa_threaded_mainloop_start(connection->loop) < 0) {
        return -1;
    }
    connection->loopRunning = true;

    std::int32_t status = 0;
    {
        LoopLock lock(connection->loop);
        pa_context* context = connection->context;
        connection->waitFor(
            [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; });
        if (pa_context_get_state(context) != PA_CONTEXT_READY) {
            status = connection->contextGood() ? -1 : statusOf(context);
        }
    }
    if (status == 0) {
        connection_ = std::move(connection);
    }
    return status;
}

AudioCapture::Result<std::string> PulseAudioCapture::defaultOutput() {
    if (!connection_) {
        return {-1, {}};
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    struct Reply {
        pa_threaded_mainloop* loop = nullptr;
        bool finished = false;
        bool answered = false;
        bool onPipeWire = false;
        std::string name;
    } reply;
    reply.loop = c.loop;
    pa_operation* operation = pa_context_get_server_info(
        c.context,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* r = static_cast<Reply*>(userdata);
            if (info != nullptr) {
                r->answered = true;
                r->name = info->default_sink_name ? info->default_sink_name : "";
                r->onPipeWire = info->server_name != nullptr &&
                                std::strstr(info->server_name, "PipeWire") != nullptr;
            }
            r->finished = true;
            pa_threaded_mainloop_signal(r->loop, 0);
        },
        &reply);
    if (auto status = c.finish(operation, reply.finished); status != 0) {
        return {status, {}};
    }
    if (!reply.answered) {
        return {statusOf(c.context), {}};
    }
    c.defaultSink = reply.name;
    c.onPipeWire = reply.onPipeWire;
    return {0, reply.name};
}

AudioCapture::Result<AudioCapture::Output>
PulseAudioCapture::describeOutput(const std::string& name) {
    if (!connection_) {
        return {-1, {}};
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    struct Reply {
        pa_threaded_mainloop* loop = nullptr;
        bool finished = false;
        bool failed = false;
        bool found = false;
        std::string monitor;
        pa_sample_spec sampleSpec{};
        std::uint32_t index = PA_INVALID_INDEX;
        pa_sink_flags_t flags{};
        pa_cvolume volume{};
    } reply;
    reply.loop = c.loop;
    pa_operation* operation = pa_context_get_sink_info_by_name(
        c.context, name.c_str(),
        [](pa_context*, const pa_sink_info* info, int last, void* userdata) {
            auto* r = static_cast<Reply*>(userdata);
            if (last < 0) {
                r->failed = true;
            } else if (last == 0 && info != nullptr && !r->found) {
                r->found = true;
                r->monitor = info->monitor_source_name ? info->monitor_source_name : "";
                r->sampleSpec = info->sample_spec;
                r->index = info->index;
                r->flags = info->flags;
                r->volume = info->volume;
            }
            if (last != 0) {
                r->finished = true;
                pa_threaded_mainloop_signal(r->loop, 0);
            }
        },
        &reply);
    if (auto status = c.finish(operation, reply.finished); status != 0) {
        return {status, {}};
    }
    if (reply.failed || !reply.found) {
        return {statusOf(c.context), {}};
    }
    c.describedMonitor = reply.monitor;
    c.describedIndex = reply.index;
    c.describedFlags = reply.flags;
    c.describedVolume = reply.volume;
    return {0, Output{reply.monitor, formatOf(reply.sampleSpec)}};
}

std::int32_t PulseAudioCapture::openStream(const std::string& source, const Format& format,
                                           InputHandler onInput, PauseHandler onPause) {
    if (!connection_) {
        return -1;
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    c.releaseStream();
    if (!format.isFloat || !(format.sampleRate >= 1 && format.sampleRate <= PA_RATE_MAX) ||
        format.channels == 0 || format.channels > PA_CHANNELS_MAX) {
        return PA_ERR_NOTSUPPORTED;
    }
    pa_sample_spec sampleSpec{};
    sampleSpec.format = PA_SAMPLE_FLOAT32NE;
    sampleSpec.rate = static_cast<uint32_t>(format.sampleRate);
    sampleSpec.channels = static_cast<uint8_t>(format.channels);

    // A standard map (stereo for two channels): the server remixes the sink's own layout to
    // it, 5.1 included, with the same rules it uses for everything else.
    pa_channel_map map{};
    pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);

    c.stream = pa_stream_new(c.context, streamName, &sampleSpec, &map);
    if (c.stream == nullptr) {
        return statusOf(c.context);
    }
    c.streamSource = source;
    c.onInput = std::move(onInput);
    c.onPause = std::move(onPause);
    // A multiple of any channel count, so that scaled pieces hold whole frames.
    c.scratch.assign(scratchSamples / sampleSpec.channels * sampleSpec.channels, 0.0f);
    pa_stream_set_state_callback(c.stream, Connection::streamStateChanged, &c);
    pa_stream_set_read_callback(c.stream, Connection::streamReadable, &c);
    pa_stream_set_suspended_callback(c.stream, Connection::streamSuspended, &c);
    pa_stream_set_event_callback(c.stream, Connection::streamEvent, &c);
    c.stallTimer = pa_context_rttime_new(c.context, PA_USEC_INVALID, Connection::stallCheck, &c);
    return 0;
}

AudioCapture::Format PulseAudioCapture::streamFormat() const {
    if (!connection_ || connection_->stream == nullptr) {
        return {};
    }
    LoopLock lock(connection_->loop);
    return formatOf(*pa_stream_get_sample_spec(connection_->stream));
}

std::int32_t PulseAudioCapture::startStream() {
    if (!connection_ || connection_->stream == nullptr) {
        return -1;
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(fragmentDuration, pa_stream_get_sample_spec(c.stream)));
    // A fixed device: should the sink vanish, the stream fails (and the owner rebuilds on the
    // new default) instead of being moved to whatever source the server picks, a microphone
    // perhaps. Monitoring must not keep an idle sink awake either.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(c.stream, c.streamSource.c_str(), &attributes, flags) < 0) {
        return statusOf(c.context);
    }
    pa_stream* stream = c.stream;
    c.waitFor([stream] {
        const auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        c.compensateVolume();
        return 0;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        return statusOf(c.context);
    default:
        return c.contextGood() ? -1 : statusOf(c.context);
    }
}

bool PulseAudioCapture::watchDefaultOutput(ChangeHandler onChange) {
    if (!connection_) {
        return false;
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    // A loss since the stream started (the server quit, the sink went) was noted without
    // anyone to tell; it is reported now, from the capture context as always.
    if (c.lost || !c.contextGood()) {
        c.lost = true;
        c.onChange = std::move(onChange);
        pa_mainloop_api_once(
            pa_threaded_mainloop_get_api(c.loop),
            [](pa_mainloop_api*, void* userdata) {
                static_cast<Connection*>(userdata)->reportLoss();
            },
            &c);
        return true;
    }
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER |
        (c.compensatedSink != PA_INVALID_INDEX ? PA_SUBSCRIPTION_MASK_SINK : 0));
    pa_operation* operation = pa_context_subscribe(c.context, mask, nullptr, nullptr);
    if (operation == nullptr) {
        return false;
    }
    pa_operation_unref(operation);
    c.watching = true;
    c.onChange = std::move(onChange);
    c.watchedSink = c.defaultSink;
    // A change between reading the default sink and subscribing would otherwise go unseen.
    c.checkDefaultSink(c.context);
    return true;
}

void PulseAudioCapture::unwatchDefaultOutput() {
    if (!connection_) {
        return;
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    c.onChange = nullptr;
    if (c.watching) {
        c.watching = false;
        c.updateSubscription();
    }
}

void PulseAudioCapture::stopStream() {
    if (!connection_ || connection_->stream == nullptr) {
        return;
    }
    Connection& c = *connection_;
    LoopLock lock(c.loop);
    c.silenceStream();
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(c.stream))) {
        pa_stream_disconnect(c.stream);
    }
}

void PulseAudioCapture::closeStream() {
    if (!connection_) {
        return;
    }
    LoopLock lock(connection_->loop);
    connection_->releaseStream();
}

void PulseAudioCapture::disconnect() {
    connection_.reset();
}

void PulseAudioCapture::runOnCaptureContext(const std::function<void()>& work) {
    if (!connection_ || pa_threaded_mainloop_in_thread(connection_->loop)) {
        work();
        return;
    }
    LoopLock lock(connection_->loop);
    work();
}

std::unique_ptr<AudioCapture> makeSystemAudioCapture() {
    return std::make_unique<PulseAudioCapture>();
}

} // namespace jolto
