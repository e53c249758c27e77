#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace jolto {

enum class LogLevel { debug, info, error };

inline constexpr std::string_view logSubsystem = "zevrin.zevcontroller.host";

// Where log lines go. The program installs the journald sink; tests install a capturing one.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, std::string_view category, std::string_view message) = 0;
};

// Replaces the process-wide sink; nullptr restores the default (stderr). Safe from any thread.
void setLogSink(std::shared_ptr<LogSink> sink);
std::shared_ptr<LogSink> logSink();

// `text` with its control characters (C0, DEL, C1) written as escapes (\n, \x1B, \u0085), so
// that text from outside, such as a phone's name, cannot start a line of its own or move the
// cursor of a terminal that shows the log. Every logged message passes through it.
std::string escapedForLog(std::string_view text);

// A handle for one category ("Server", "Trust", ...). Messages arrive fully formatted.
class Logger {
public:
    explicit Logger(std::string category) : category_(std::move(category)) {}

    void debug(std::string_view message) const { write(LogLevel::debug, message); }
    void info(std::string_view message) const { write(LogLevel::info, message); }
    void error(std::string_view message) const { write(LogLevel::error, message); }
    void write(LogLevel level, std::string_view message) const;

    const std::string& category() const { return category_; }

private:
    std::string category_;
};

} // namespace jolto
