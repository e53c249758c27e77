#include "platform/Log.h"

#include <cstdio>
#include <mutex>

namespace jolto {

namespace {

class StderrSink final : public LogSink {
public:
    void write(LogLevel level, std::string_view category, std::string_view message) override {
        static std::mutex mutex;
        const char* tag = level == LogLevel::error  ? "error"
                          : level == LogLevel::info ? "info"
                                                    : "debug";
        std::lock_guard lock(mutex);
        std::fprintf(stderr, "jolto-host [%.*s] %s: %.*s\n", static_cast<int>(category.size()),
                     category.data(), tag, static_cast<int>(message.size()), message.data());
    }
};

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<LogSink>& currentSink() {
    static std::shared_ptr<LogSink> sink = std::make_shared<StderrSink>();
    return sink;
}

} // namespace

void setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = sink ? std::move(sink) : std::make_shared<StderrSink>();
}

std::shared_ptr<LogSink> logSink() {
    std::lock_guard lock(sinkMutex());
    return currentSink();
}

void Logger::write(LogLevel level, std::string_view message) const {
    logSink()->write(level, category_, message);
}

} // namespace jolto
