#include "platform/linux/JsonFileSettingsStore.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/linux/SettingsValueForm.h"

namespace jolto {

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

const Logger& settingsLog() {
    static const Logger logger("Settings");
    return logger;
}

std::string errnoText(int error) {
    return std::strerror(error);
}

std::optional<fs::path> homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') {
        return fs::path(home);
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && *result->pw_dir == '/') {
        return fs::path(result->pw_dir);
    }
    return std::nullopt;
}

fs::path folderOf(const fs::path& file) {
    auto folder = file.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Why `folder` may not hold the settings, or nothing when it may (or does not exist yet). Only
// this user may be able to change what is in it.
std::optional<std::string> folderProblem(const fs::path& folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        return errno == ENOENT ? std::nullopt : std::optional(errnoText(errno));
    }
    if (S_ISLNK(info.st_mode)) {
        return "it is a symbolic link";
    }
    if (!S_ISDIR(info.st_mode)) {
        return "it is not a folder";
    }
    if (info.st_uid != ::geteuid()) {
        return "it belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "other users may write to it";
    }
    return std::nullopt;
}

// Creates `folder` for this user alone, and any missing folders above it as usual.
std::error_code createFolder(const fs::path& folder) {
    std::error_code ec;
    if (fs::exists(folder, ec) || ec) {
        return ec;
    }
    fs::create_directories(folder.parent_path(), ec);
    if (!ec && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        ec = std::error_code(errno, std::generic_category());
    }
    return ec;
}

enum class ReadResult { ok, missing, failed };

ReadResult readFile(const fs::path& file, std::string& out, int& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        // ENOTDIR: a component of the folder is a file, so there is no settings file either.
        return error == ENOENT || error == ENOTDIR ? ReadResult::missing : ReadResult::failed;
    }
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            ::close(fd);
            return ReadResult::failed;
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ReadResult::ok;
}

std::string utcStamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

} // namespace

std::optional<fs::path> JsonFileSettingsStore::defaultPath() {
    fs::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (auto home = homeFolder()) {
        config = *home / ".config";
    } else {
        return std::nullopt;
    }
    return config / "jolto-host" / "settings.json";
}

JsonFileSettingsStore::JsonFileSettingsStore(fs::path file) : file_(std::move(file)) {
    load();
    if (!folderRefused_) {
        removeStaleTempFiles();
    }
    writer_ = std::thread([this] { writeBehind(); });
}

JsonFileSettingsStore::~JsonFileSettingsStore() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void JsonFileSettingsStore::load() {
    if (auto problem = folderProblem(folderOf(file_))) {
        folderRefused_ = true;
        settingsLog().error("Not using the settings in " + folderOf(file_).string() + ": " +
                            *problem + ". Starting from defaults; nothing will be saved.");
        return;
    }
    std::string text;
    int error = 0;
    std::string problem;
    switch (readFile(file_, text, error)) {
    case ReadResult::missing:
        return;
    case ReadResult::failed:
        problem = errnoText(error);
        break;
    case ReadResult::ok:
        // Data values may embed JSON up to their own limit inside the file's object and tag.
        if (SettingsValueForm::nestingDepth(text) > SettingsValueForm::maxNesting + 2) {
            problem = "nested too deeply";
            break;
        }
        try {
            Json parsed = Json::parse(text);
            if (parsed.is_object()) {
                values_ = std::move(parsed);
                return;
            }
            problem = "the top level is not a JSON object";
        } catch (const std::exception& e) {
            problem = e.what();
        }
        break;
    }
    unreadableOnDisk_ = true;
    settingsLog().error("Couldn't read settings from " + file_.string() + ": " + problem +
                        ". Starting from defaults; the file will be kept as " +
                        file_.filename().string() +
                        ".unreadable-<time> when settings next change.");
}

fs::path JsonFileSettingsStore::target() const {
    fs::path path = file_;
    // As many links as the kernel follows.
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(path, ec)) {
            break;
        }
        fs::path next = fs::read_symlink(path, ec);
        if (ec) {
            break;
        }
        path = next.is_absolute() ? next : folderOf(path) / next;
    }
    return path;
}

void JsonFileSettingsStore::removeStaleTempFiles() const {
    // Leftovers of a writer that died between creating and renaming its temp file. Young ones
    // may belong to another instance writing right now.
    const fs::path file = target();
    const std::string prefix = file.filename().string() + ".tmp-";
    std::error_code ec;
    auto cutoff = fs::file_time_type::clock::now() - std::chrono::minutes(1);
    for (fs::directory_iterator it(folderOf(file), ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        std::error_code timeError;
        auto modified = fs::last_write_time(it->path(), timeError);
        if (!timeError && modified < cutoff) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

const Json* JsonFileSettingsStore::find(std::string_view key) const {
    auto it = values_.find(std::string(key));
    return it == values_.end() ? nullptr : &*it;
}

std::optional<std::vector<std::uint8_t>> JsonFileSettingsStore::data(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const Json* value = find(key);
    if (!value) {
        return std::nullopt;
    }
    return SettingsValueForm::decodeData(*value);
}

std::optional<std::string> JsonFileSettingsStore::string(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const Json* value = find(key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

bool JsonFileSettingsStore::boolean(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const Json* value = find(key);
    return value && value->is_boolean() && value->get<bool>();
}

double JsonFileSettingsStore::number(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (const Json* value = find(key)) {
        if (auto number = SettingsValueForm::decodeNumber(*value)) {
            return *number;
        }
    }
    auto fallback = fallbacks_.find(key);
    return fallback == fallbacks_.end() ? 0.0 : fallback->second;
}

void JsonFileSettingsStore::setData(std::string_view key, const std::vector<std::uint8_t>& value) {
    set(key, SettingsValueForm::encodeData(value));
}

void JsonFileSettingsStore::setString(std::string_view key, std::string_view value) {
    set(key, Json(std::string(value)));
}

void JsonFileSettingsStore::setBool(std::string_view key, bool value) {
    set(key, Json(value));
}

void JsonFileSettingsStore::setNumber(std::string_view key, double value) {
    set(key, SettingsValueForm::encodeNumber(value));
}

void JsonFileSettingsStore::registerFallback(std::string_view key, double value) {
    std::lock_guard lock(mutex_);
    fallbacks_.insert_or_assign(std::string(key), value);
}

void JsonFileSettingsStore::set(std::string_view key, Json value) {
    {
        std::lock_guard lock(mutex_);
        values_[std::string(key)] = std::move(value);
        ++version_;
    }
    changed_.notify_all();
}

void JsonFileSettingsStore::flush() {
    std::unique_lock lock(mutex_);
    const auto wanted = version_;
    flushVersion_ = std::max(flushVersion_, wanted);
    changed_.notify_all();
    changed_.wait(lock, [&] { return savedVersion_ >= wanted; });
}

std::uint64_t JsonFileSettingsStore::saveCount() const {
    std::lock_guard lock(mutex_);
    return saves_;
}

void JsonFileSettingsStore::writeBehind() {
    // The first change after a quiet spell is saved at once; changes coming faster than that
    // are gathered into one save per interval.
    auto lastSave = std::chrono::steady_clock::time_point{};
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return ending_ || version_ != savedVersion_; });
        if (version_ == savedVersion_) {
            return;
        }
        changed_.wait_until(lock, lastSave + writeInterval,
                            [&] { return ending_ || flushVersion_ > savedVersion_; });
        const auto version = version_;
        std::string text;
        if (!folderRefused_) {
            text = values_.dump(4, ' ', false, Json::error_handler_t::replace) + "\n";
        }
        lock.unlock();
        lastSave = std::chrono::steady_clock::now();
        if (!folderRefused_) {
            persist(text);
        }
        lock.lock();
        savedVersion_ = version;
        ++saves_;
        changed_.notify_all();
    }
}

std::optional<std::string> JsonFileSettingsStore::moveUnreadableAside(const fs::path& file) {
    const std::string base = file.string() + ".unreadable-" + utcStamp();
    std::string aside = base;
    std::error_code ec;
    for (int n = 2; fs::exists(aside, ec) || ec; ++n) {
        if (ec || n > 1000) {
            return "no free name to keep the unreadable file aside";
        }
        aside = base + "-" + std::to_string(n);
    }
    if (::rename(file.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
        return "keeping the unreadable file aside as " + aside + " (" + errnoText(errno) + ")";
    }
    settingsLog().info("Kept the unreadable settings file as " + aside);
    unreadableOnDisk_ = false;
    return std::nullopt;
}

void JsonFileSettingsStore::persist(const std::string& text) {
    const fs::path file = target();
    const fs::path folder = folderOf(file);
    // One line per run of failures, not one per write.
    auto report = [&](const std::string& problem) {
        if (!lastWriteFailed_) {
            settingsLog().error("Couldn't save settings to " + file_.string() + ": " + problem +
                                "; the previous file is left as it was.");
        }
        lastWriteFailed_ = true;
    };
    auto fail = [&](const std::string& step, int error) {
        report(step + " (" + errnoText(error) + ")");
    };

    if (auto ec = createFolder(folder)) {
        fail("creating " + folder.string(), ec.value());
        return;
    }
    // The folder may have been swapped since it was read; a linked file's folder is checked
    // for the same reason.
    std::error_code ec;
    fs::path realFolder = file == file_ ? folder : fs::canonical(folder, ec);
    if (auto problem = ec ? std::optional(ec.message()) : folderProblem(realFolder)) {
        report(folder.string() + ": " + *problem);
        return;
    }
    if (unreadableOnDisk_) {
        if (auto problem = moveUnreadableAside(file)) {
            report(*problem);
            return;
        }
    }

    std::string tempName = file.string() + ".tmp-XXXXXX";
    int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        fail("creating a temporary file", errno);
        return;
    }
    auto abandon = [&](const std::string& step) {
        int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(tempName.c_str());
        fail(step, error);
    };
    if (!writeAll(fd, text)) {
        abandon("writing");
        return;
    }
    if (::fsync(fd) != 0) {
        abandon("flushing");
        return;
    }
    int closeResult = ::close(fd);
    fd = -1;
    if (closeResult != 0) {
        abandon("closing");
        return;
    }
    if (::rename(tempName.c_str(), file.c_str()) != 0) {
        abandon("replacing the file");
        return;
    }
    lastWriteFailed_ = false;
    // The rename itself is only durable once the folder's entry is on disk.
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0 || ::fsync(folderFd) != 0) {
        int error = errno;
        if (folderFd >= 0) {
            ::close(folderFd);
        }
        if (!lastFolderFlushFailed_) {
            settingsLog().error("Saved settings to " + file.string() +
                                ", but couldn't flush its folder (" + errnoText(error) +
                                "); after a system crash the previous settings may come back.");
        }
        lastFolderFlushFailed_ = true;
        return;
    }
    ::close(folderFd);
    lastFolderFlushFailed_ = false;
}

} // namespace jolto
