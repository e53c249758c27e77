#include "output/InputReportStream.h"

namespace jolto {

void InputReportStream::push(const InputReport& report) {
    std::lock_guard lock(mutex_);
    if (finished_) {
        return;
    }
    if (count_ == capacity) {
        head_ = (head_ + 1) % capacity;
        --count_;
    }
    ring_[(head_ + count_) % capacity] = report;
    ++count_;
    // The consumer only sleeps after finding the stream empty, so only that transition needs
    // to reach it; this keeps the wake-up (a system call on Linux) off most pushes.
    if (count_ == 1 && wake_) {
        wake_();
    }
}

void InputReportStream::finish() {
    std::lock_guard lock(mutex_);
    if (finished_) {
        return;
    }
    finished_ = true;
    if (wake_) {
        wake_();
    }
}

InputReportStream::Take InputReportStream::take(InputReport& out) {
    std::lock_guard lock(mutex_);
    if (count_ == 0) {
        return finished_ ? Take::ended : Take::empty;
    }
    out = ring_[head_];
    head_ = (head_ + 1) % capacity;
    --count_;
    return Take::report;
}

bool InputReportStream::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

} // namespace jolto
