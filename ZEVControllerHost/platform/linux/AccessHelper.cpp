#include "platform/linux/AccessHelper.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

#ifndef JOLTO_ACCESS_HELPER_INSTALLED
#define JOLTO_ACCESS_HELPER_INSTALLED "/usr/libexec/jolto-host/jolto-host-access"
#endif

namespace jolto {

namespace {

// The script's place relative to the installation prefix (GNU layout, as installed).
constexpr const char* kHelperUnderPrefix = "libexec/jolto-host/jolto-host-access";

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> canonical(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

// Quotes for a POSIX shell only when the path needs it, so the usual case reads plainly.
std::string shellWord(const std::string& word) {
    bool plain = !word.empty();
    for (char c : word) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
        plain = plain && safe;
    }
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace

AccessHelper::AccessHelper(std::vector<std::string> helperCandidates, std::string searchPath)
    : candidates_(std::move(helperCandidates)), searchPath_(std::move(searchPath)) {}

AccessHelper AccessHelper::forThisProgram() {
    std::vector<std::string> candidates;
    // A package may be built from a folder configured for another prefix, so the program's
    // own location is the surest guide to where its script was installed.
    std::error_code error;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && exe.parent_path().filename() == "bin") {
        candidates.push_back((exe.parent_path().parent_path() / kHelperUnderPrefix).string());
    }
    candidates.emplace_back(JOLTO_ACCESS_HELPER_INSTALLED);
#ifdef JOLTO_ACCESS_HELPER_BUILD
    candidates.emplace_back(JOLTO_ACCESS_HELPER_BUILD);
#endif
    const char* path = std::getenv("PATH");
    return AccessHelper(std::move(candidates), path != nullptr ? path : "/usr/bin:/bin");
}

std::optional<std::string> AccessHelper::helperPath() const {
    for (const auto& candidate : candidates_) {
        if (isExecutableFile(candidate)) {
            if (auto resolved = canonical(candidate)) {
                return resolved;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> AccessHelper::pkexecPath() const {
    std::string::size_type start = 0;
    while (start <= searchPath_.size()) {
        auto end = searchPath_.find(':', start);
        if (end == std::string::npos) {
            end = searchPath_.size();
        }
        std::string dir = searchPath_.substr(start, end - start);
        // An empty or relative entry would mean the current folder, not a place to take a
        // program that asks for the administrator's password from.
        if (!dir.empty() && dir.front() == '/') {
            std::string candidate = dir + "/pkexec";
            if (isExecutableFile(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

AccessHelper::Result AccessHelper::run() const {
    auto helper = helperPath();
    auto pkexec = pkexecPath();
    if (!helper || !pkexec) {
        return {Outcome::unavailable, -1};
    }
    // Without a graphical polkit agent, pkexec would otherwise ask for the password on the
    // terminal the program was started from, where nobody is looking.
    std::string arg0 = "pkexec";
    std::string noTextAgent = "--disable-internal-agent";
    char* argv[] = {arg0.data(), noTextAgent.data(), helper->data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, pkexec->c_str(), nullptr, nullptr, argv, environ) != 0) {
        return {Outcome::unavailable, -1};
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return {Outcome::failed, -1};
        }
    }
    if (!WIFEXITED(status)) {
        return {Outcome::failed, -1};
    }
    int code = WEXITSTATUS(status);
    return {outcomeForExitStatus(code), code};
}

std::string AccessHelper::manualCommand() const {
    auto helper = helperPath();
    std::string path = helper                ? *helper
                       : candidates_.empty() ? std::string(JOLTO_ACCESS_HELPER_INSTALLED)
                                             : candidates_.front();
    return "sudo " + shellWord(path);
}

AccessHelper::Outcome AccessHelper::outcomeForExitStatus(int status) {
    switch (status) {
    case 0:
        return Outcome::granted;
    case 126:
        return Outcome::cancelled;
    case 127:
        return Outcome::notAuthorized;
    default:
        return Outcome::failed;
    }
}

} // namespace jolto
