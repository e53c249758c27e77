#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>

#include "output/InputReport.h"

namespace jolto {

// The reports waiting for a gamepad's feeder: one producer (the server) and one consumer (the
// feeder thread). Holds the newest `capacity` reports, so a slow device neither grows memory
// nor delays input; nothing allocates after construction.
class InputReportStream {
public:
    static constexpr std::size_t capacity = 32;

    enum class Take { report, empty, ended };

    // `wake` is called whenever the consumer may have something new to look at: a report
    // arriving in an empty stream, or the end. It runs with the stream's lock held and is
    // never called once `finish` has returned, so it may refer to objects the consumer
    // destroys after it has seen the end.
    explicit InputReportStream(std::function<void()> wake) : wake_(std::move(wake)) {}

    // Adds a report, dropping the oldest waiting one when full. Ignored after `finish`.
    void push(const InputReport& report);
    // Ends the stream; reports already waiting can still be taken.
    void finish();

    // The oldest waiting report into `out` (`report`); `empty` when none waits yet; `ended`
    // when none waits and the stream is finished.
    Take take(InputReport& out);
    bool isFinished() const;

private:
    mutable std::mutex mutex_;
    std::array<InputReport, capacity> ring_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    bool finished_ = false;
    std::function<void()> wake_;
};

} // namespace jolto
