#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace jolto {

struct LogLine {
    LogLevel level;
    std::string category;
    std::string message;

    friend bool operator==(const LogLine&, const LogLine&) = default;
};

// Records every line instead of printing it; safe to write from any thread.
class CapturingLogSink final : public LogSink {
public:
    void write(LogLevel level, std::string_view category, std::string_view message) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({level, std::string(category), std::string(message)});
    }

    std::vector<LogLine> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::vector<LogLine> lines(LogLevel level, std::string_view category) const {
        auto out = lines();
        std::erase_if(out,
                      [&](const LogLine& l) { return l.level != level || l.category != category; });
        return out;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// Installs a fresh CapturingLogSink for its lifetime and puts the previous sink back after.
class ScopedLogCapture {
public:
    ScopedLogCapture() : previous_(logSink()), sink_(std::make_shared<CapturingLogSink>()) {
        setLogSink(sink_);
    }
    ~ScopedLogCapture() { setLogSink(previous_); }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    CapturingLogSink* operator->() const { return sink_.get(); }

private:
    std::shared_ptr<LogSink> previous_;
    std::shared_ptr<CapturingLogSink> sink_;
};

} // namespace jolto
