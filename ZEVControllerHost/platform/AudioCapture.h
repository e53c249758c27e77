#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace jolto {

// One capture session on the computer's sound server: a connection, at most one record stream
// on the monitor of an output, and a watch on which output is the default. The levels must
// follow what the programs play, not how loud the output is turned: an implementation whose
// monitor is taken after the output's volume makes up for that volume. The operations that
// can fail return the sound server's status: 0 for success, otherwise its error code, or -1
// where it gives none.
//
// Audio and change notifications arrive on the capture context, a single thread owned by the
// session. start-side operations and teardown run on the owner's thread and never from inside
// a notification.
class AudioCapture {
public:
    struct Format {
        double sampleRate = 0;
        std::uint32_t channels = 0;
        bool isFloat = false; // 32-bit IEEE float samples
        bool interleaved = true;
        // The sound server's own identifier of the sample encoding, to report one that is
        // unusable.
        std::int32_t encoding = 0;
    };

    struct Output {
        std::string monitorSource; // what records the output's mix; empty if it has none
        Format format;             // the output's own sample rate and channel count
    };

    // One buffer of an input delivery: all channels interleaved, or one channel.
    struct Buffer {
        const void* data = nullptr;
        std::size_t byteSize = 0;
    };

    template <typename T> struct Result {
        std::int32_t status = 0;
        T value{};
    };

    using InputHandler = std::function<void(std::span<const Buffer>)>;
    using ChangeHandler = std::function<void()>;
    using PauseHandler = std::function<void()>;

    // How long buffers may stay away, once they have been arriving, before the stream counts
    // as paused.
    static constexpr auto stallTimeout = std::chrono::milliseconds(100);

    virtual ~AudioCapture() = default;

    // On failure the session is left with nothing to tear down.
    virtual std::int32_t connect() = 0;
    // The name of the default output; an empty name when there is none.
    virtual Result<std::string> defaultOutput() = 0;
    virtual Result<Output> describeOutput(const std::string& name) = 0;
    // Prepares a record stream on `source` asking for `format`; nothing flows yet. The sound
    // server converts the output's own format (rate, channel layout) to the one asked for.
    // `onPause` runs on the capture context when audio stops arriving: the stream is suspended,
    // corked, fails or ends, or no buffer has come for `stallTimeout`. Once per pause; the next
    // buffer ends it.
    virtual std::int32_t openStream(const std::string& source, const Format& format,
                                    InputHandler onInput, PauseHandler onPause) = 0;
    // The format the opened stream delivers.
    virtual Format streamFormat() const = 0;
    // Returns once audio flows, or with the failure; gives up after a few seconds.
    virtual std::int32_t startStream() = 0;
    // `onChange` runs on the capture context when another output becomes the default, and when
    // the sound server or the stream goes away: either way the capture must be rebuilt. A loss
    // that happened before the watch was installed is reported too.
    // Returns false when the watch could not be installed.
    virtual bool watchDefaultOutput(ChangeHandler onChange) = 0;

    // Teardown, each the reverse of one step above. Once `closeStream` has returned the input
    // handler is not running and is never called again; likewise `unwatchDefaultOutput` for
    // the change handler.
    virtual void unwatchDefaultOutput() = 0;
    virtual void stopStream() = 0;
    virtual void closeStream() = 0;
    virtual void disconnect() = 0;

    // Runs `work` on the capture context, or excluded from it, and returns when it is done.
    // Only while connected.
    virtual void runOnCaptureContext(const std::function<void()>& work) = 0;
};

} // namespace jolto
