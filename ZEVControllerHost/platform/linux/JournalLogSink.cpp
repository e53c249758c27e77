#include "platform/linux/JournalLogSink.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <syslog.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

namespace jolto {

JournalLogSink::JournalLogSink()
    : journalReachable_(access("/run/systemd/journal/socket", W_OK) == 0) {}

void JournalLogSink::write(LogLevel level, std::string_view category, std::string_view message) {
    int priority = level == LogLevel::error  ? LOG_ERR
                   : level == LogLevel::info ? LOG_INFO
                                             : LOG_DEBUG;
    std::string text(message);
    if (journalReachable_) {
        std::string cat(category);
        int rc = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority,
                                 "SYSLOG_IDENTIFIER=jolto-host", "JOLTO_SUBSYSTEM=%.*s",
                                 static_cast<int>(logSubsystem.size()), logSubsystem.data(),
                                 "JOLTO_CATEGORY=%s", cat.c_str(), nullptr);
        if (rc >= 0) {
            return;
        }
    }
    static std::mutex mutex;
    const char* tag = level == LogLevel::error  ? "error"
                      : level == LogLevel::info ? "info"
                                                : "debug";
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "jolto-host [%.*s] %s: %s\n", static_cast<int>(category.size()),
                 category.data(), tag, text.c_str());
}

} // namespace jolto
