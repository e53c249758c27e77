#pragma once

#include "platform/Log.h"

namespace jolto {

// Sends log lines to journald with the identifier "jolto-host" and the subsystem and category
// as fields; falls back to stderr when no journal is reachable.
class JournalLogSink final : public LogSink {
public:
    JournalLogSink();
    void write(LogLevel level, std::string_view category, std::string_view message) override;

private:
    bool journalReachable_;
};

} // namespace jolto
