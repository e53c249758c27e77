#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

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

// U+0080 to U+009F, encoded in UTF-8 as C2 80 to C2 9F.
bool isC1At(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
}

bool isC0OrDel(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

std::string escapedForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (isC0OrDel(c)) {
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else if (isC1At(text, i)) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[++i]));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = sink ? std::move(sink) : std::make_shared<StderrSink>();
}

std::shared_ptr<LogSink> logSink() {
    std::lock_guard lock(sinkMutex());
    return currentSink();
}

void Logger::write(LogLevel level, std::string_view message) const {
    logSink()->write(level, category_, escapedForLog(message));
}

} // namespace jolto
