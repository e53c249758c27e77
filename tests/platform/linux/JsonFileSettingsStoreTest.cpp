#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fakes/CapturingLogSink.h"
#include "fakes/MemorySettingsStore.h"
#include "platform/linux/JsonFileSettingsStore.h"

using namespace jolto;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& file, std::string_view text) {
    std::ofstream(file, std::ios::binary) << text;
}

nlohmann::json readJson(const fs::path& file) {
    return nlohmann::json::parse(readText(file));
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "jolto-settings-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::vector<fs::path> filesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> out;
    for (auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            out.push_back(entry.path());
        }
    }
    return out;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

// The kind rules every SettingsStore keeps; the in-memory fake is held to the same contract as
// the file store so that tests using the fake stay truthful.
template <typename Store> class SettingsContract : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<SettingsStore> make() {
        if constexpr (std::is_same_v<Store, JsonFileSettingsStore>) {
            return std::make_unique<JsonFileSettingsStore>(folder.path() / "settings.json");
        } else {
            return std::make_unique<Store>();
        }
    }
};
using StoreTypes = ::testing::Types<JsonFileSettingsStore, MemorySettingsStore>;
TYPED_TEST_SUITE(SettingsContract, StoreTypes);

TYPED_TEST(SettingsContract, AbsentKeysAndFallbacks) {
    auto store = this->make();
    EXPECT_EQ(store->string("outputMode"), std::nullopt);
    EXPECT_FALSE(store->boolean("rumbleFromAudio"));
    EXPECT_EQ(store->data("keyMapping"), std::nullopt);
    EXPECT_EQ(store->number("rumbleStrength"), 0.0);
    store->registerFallback("rumbleStrength", 1.0);
    EXPECT_EQ(store->number("rumbleStrength"), 1.0);
    store->setNumber("rumbleStrength", 0.0);
    EXPECT_EQ(store->number("rumbleStrength"), 0.0) << "a stored 0 is not absent";
}

TYPED_TEST(SettingsContract, EachKindAnswersOnlyToItsOwnRead) {
    auto store = this->make();
    store->registerFallback("n", 7.0);
    store->registerFallback("b", 7.0);
    store->setData("d", bytesOf("true"));
    store->setString("s", "1");
    store->setBool("b", true);
    store->setNumber("n", 1.0);
    struct Reads {
        const char* key;
        std::optional<Bytes> data;
        std::optional<std::string> text;
        bool boolean;
        double number; // a bool is not a number: the fallback answers
    };
    auto check = [&](const Reads& r) {
        EXPECT_EQ(store->data(r.key), r.data) << r.key;
        EXPECT_EQ(store->string(r.key), r.text) << r.key;
        EXPECT_EQ(store->boolean(r.key), r.boolean) << r.key;
        EXPECT_EQ(store->number(r.key), r.number) << r.key;
    };
    for (const Reads& r : {Reads{"d", bytesOf("true"), std::nullopt, false, 0.0},
                           Reads{"s", std::nullopt, "1", false, 0.0},
                           Reads{"b", std::nullopt, std::nullopt, true, 7.0},
                           Reads{"n", std::nullopt, std::nullopt, false, 1.0}}) {
        check(r);
    }
    store->setString("n", "replaced");
    check({"n", std::nullopt, "replaced", false, 7.0});
}

class JsonFileSettingsStoreTest : public ::testing::Test {
protected:
    TempFolder folder;
    fs::path file = folder.path() / "settings.json";
};

TEST_F(JsonFileSettingsStoreTest, EveryKindSurvivesTheFileExactly) {
    const std::vector<double> numbers = {0.1,
                                         -0.0,
                                         5.0,
                                         1e300,
                                         std::numeric_limits<double>::denorm_min(),
                                         std::nextafter(1.0, 2.0),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN()};
    const std::vector<std::pair<std::string, Bytes>> data = {
        {"compactJson", bytesOf(R"([{"id":"A","lastSeen":725000000.5,"z":1,"a":[true,null]}])")},
        {"spacedJson", bytesOf(R"({ "a" : 1 })")},
        {"reformattedNumber", bytesOf("1.50")},
        {"exponent", bytesOf("[7.25e8]")},
        {"escapedText", bytesOf(R"("\u00e9")")},
        {"duplicateKeys", bytesOf(R"({"a":1,"a":2})")},
        {"binary", Bytes{0x00, 0xFF, 0x7B, 0x80, 0x0A}},
        {"empty", Bytes{}},
        {"oneByte", Bytes{0x01}},
        {"twoBytes", Bytes{0x01, 0x02}},
        {"deep", bytesOf(std::string(2000, '[') + std::string(2000, ']'))},
        {"deepButEmbedded", bytesOf(std::string(256, '[') + std::string(256, ']'))},
    };
    {
        JsonFileSettingsStore store(file);
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            store.setNumber("n" + std::to_string(i), numbers[i]);
        }
        for (auto& [key, bytes] : data) {
            store.setData(key, bytes);
        }
        store.setString("text", "Zoë's \"phone\" \u2603\n");
        store.setString("emptyText", "");
        store.setBool("yes", true);
        store.setBool("no", false);
    }
    JsonFileSettingsStore reopened(file);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_TRUE(sameBits(reopened.number("n" + std::to_string(i)), numbers[i])) << i;
    }
    for (auto& [key, bytes] : data) {
        EXPECT_EQ(reopened.data(key), bytes) << key;
    }
    EXPECT_EQ(reopened.string("text"), "Zoë's \"phone\" \u2603\n");
    EXPECT_EQ(reopened.string("emptyText"), "");
    EXPECT_TRUE(reopened.boolean("yes"));
    EXPECT_FALSE(reopened.boolean("no"));
    EXPECT_EQ(reopened.string("no"), std::nullopt) << "false is stored, not absent";

    // Readable where it can be: the JSON the host stores is embedded, other bytes are base64.
    auto json = readJson(file);
    EXPECT_EQ(json["compactJson"]["$json"][0]["id"], "A");
    EXPECT_TRUE(json["spacedJson"].contains("$data"));
    EXPECT_TRUE(json["exponent"].contains("$data"));
    EXPECT_TRUE(json["binary"].contains("$data"));
    EXPECT_EQ(json["text"], "Zoë's \"phone\" \u2603\n");
    EXPECT_EQ(json["yes"], true);
    EXPECT_EQ(json["n0"], 0.1);

    // It holds the paired phones' secrets.
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(JsonFileSettingsStoreTest, FallbacksStayOutOfTheFileAndOtherKeysAreKept) {
    const auto foreign = nlohmann::json::parse(R"({
        "fromANewerVersion": [1, {"x": null}],
        "odd": {"$data": 5},
        "tagged": {"$json": 1, "extra": 2},
        "outputMode": "gamepad"
    })");
    writeText(file, foreign.dump());
    {
        JsonFileSettingsStore store(file);
        store.registerFallback("rumbleStrength", 1.0);
        EXPECT_EQ(store.data("odd"), std::nullopt);
        EXPECT_EQ(store.data("tagged"), std::nullopt);
        EXPECT_EQ(store.number("fromANewerVersion"), 0.0);
        store.setBool("rumbleFromAudio", true);
        store.setString("outputMode", "keyboardMouse");
    }
    auto json = readJson(file);
    EXPECT_FALSE(json.contains("rumbleStrength"));
    for (auto key : {"fromANewerVersion", "odd", "tagged"}) {
        EXPECT_EQ(json[key], foreign[key]) << key;
    }
    EXPECT_EQ(json["outputMode"], "keyboardMouse");
    EXPECT_EQ(JsonFileSettingsStore(file).number("rumbleStrength"), 0.0);
}

TEST_F(JsonFileSettingsStoreTest, UnreadableFileIsKeptAsideAndReportedOnce) {
    const std::vector<std::string> unreadable = {"{\"outputMode\": \"gamepad\",", "[1, 2]", "",
                                                 std::string(5000, '[')};
    for (const auto& original : unreadable) {
        SCOPED_TRACE(original.substr(0, 20));
        TempFolder here;
        fs::path path = here.path() / "settings.json";
        writeText(path, original);
        ScopedLogCapture log;
        JsonFileSettingsStore store(path);
        EXPECT_EQ(store.string("outputMode"), std::nullopt);
        EXPECT_EQ(readText(path), original) << "reading alone changes nothing on disk";

        store.setBool("rumbleFromAudio", true);
        store.setNumber("rumbleStrength", 0.5);
        store.flush();
        auto aside = filesStartingWith(here.path(), "settings.json.unreadable-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readText(aside[0]), original);
        EXPECT_EQ(readJson(path),
                  nlohmann::json::parse(R"({"rumbleFromAudio": true, "rumbleStrength": 0.5})"));
        auto errors = log->lines(LogLevel::error, "Settings");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].message.find(path.string()), std::string::npos);
    }
}

TEST_F(JsonFileSettingsStoreTest, CreatesMissingFoldersAndClearsOnlyOldTempFiles) {
    fs::path nested = folder.path() / "config" / "jolto-host" / "settings.json";
    fs::create_directories(nested.parent_path());
    fs::path stale = nested.parent_path() / "settings.json.tmp-AbC123";
    fs::path fresh = nested.parent_path() / "settings.json.tmp-XyZ789";
    writeText(stale, "{");
    writeText(fresh, "{");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(1));
    JsonFileSettingsStore store(nested);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh)) << "may belong to another instance writing right now";

    fs::path missing = folder.path() / "a" / "b" / "settings.json";
    JsonFileSettingsStore(missing).setString("outputMode", "gamepad");
    EXPECT_EQ(JsonFileSettingsStore(missing).string("outputMode"), "gamepad");
}

TEST_F(JsonFileSettingsStoreTest, FailedWriteIsReportedOnceAndKeptInMemory) {
    // A plain file where the folder should be: fails for root as well.
    writeText(folder.path() / "blocker", "");
    ScopedLogCapture log;
    JsonFileSettingsStore store(folder.path() / "blocker" / "settings.json");
    store.setString("outputMode", "gamepad");
    store.setBool("rumbleFromAudio", true);
    store.flush();
    EXPECT_EQ(store.string("outputMode"), "gamepad");
    EXPECT_TRUE(store.boolean("rumbleFromAudio"));
    EXPECT_EQ(log->lines(LogLevel::error, "Settings").size(), 1u);
}

TEST_F(JsonFileSettingsStoreTest, WritesBehindInFewSavesAndKeepsTheLastChangeOnTheWayOut) {
    {
        JsonFileSettingsStore store(file);
        // A slider dragged across its range.
        for (int i = 1; i <= 1000; ++i) {
            store.setNumber("rumbleStrength", i / 1000.0);
        }
        EXPECT_EQ(store.number("rumbleStrength"), 1.0);
        store.flush();
        EXPECT_LE(store.saveCount(), 5u);
        EXPECT_EQ(readJson(file)["rumbleStrength"], 1.0);
        // Quitting right after a change keeps it.
        store.setString("outputMode", "gamepad");
    }
    EXPECT_EQ(readJson(file)["outputMode"], "gamepad");
    EXPECT_TRUE(filesStartingWith(folder.path(), "settings.json.tmp-").empty());
}

TEST_F(JsonFileSettingsStoreTest, LinkedFileIsWrittenThroughNextToItsTarget) {
    fs::path dotfiles = folder.path() / "dotfiles";
    fs::path config = folder.path() / "config";
    fs::create_directories(dotfiles);
    fs::create_directories(config);
    fs::permissions(dotfiles, fs::perms::owner_all);
    fs::permissions(config, fs::perms::owner_all);
    writeText(dotfiles / "jolto.json", R"({"outputMode": "gamepad"})");
    fs::create_symlink("../dotfiles/jolto.json", config / "settings.json");
    {
        JsonFileSettingsStore store(config / "settings.json");
        EXPECT_EQ(store.string("outputMode"), "gamepad");
        store.setBool("rumbleFromAudio", true);
    }
    EXPECT_TRUE(fs::is_symlink(config / "settings.json"));
    EXPECT_EQ(readJson(dotfiles / "jolto.json")["rumbleFromAudio"], true);
    EXPECT_EQ(readJson(dotfiles / "jolto.json")["outputMode"], "gamepad");
    EXPECT_TRUE(filesStartingWith(dotfiles, "jolto.json.tmp-").empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(config), fs::directory_iterator()), 1);
}

TEST_F(JsonFileSettingsStoreTest, FolderThatOthersCouldChangeIsNeitherReadNorWritten) {
    const std::string planted = R"({"trustedDevices": {"$data": "cGxhbnRlZA=="}})";
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> spoil;
    };
    const std::vector<Case> cases = {
        {"group-writable", [](const fs::path& f) { ::chmod(f.c_str(), 0770); }},
        {"world-writable", [](const fs::path& f) { ::chmod(f.c_str(), 0703); }},
        {"symbolic link",
         [](const fs::path& f) {
             fs::rename(f, f.string() + "-real");
             fs::create_directory_symlink(f.string() + "-real", f);
         }},
        {"another user's", [](const fs::path& f) { (void)::chown(f.c_str(), 65534, 65534); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder here;
        fs::path own = here.path() / "jolto-host";
        fs::create_directory(own);
        ::chmod(own.c_str(), 0700);
        writeText(own / "settings.json", planted);
        c.spoil(own);
        struct stat info {};
        ASSERT_EQ(::lstat(own.c_str(), &info), 0);
        if (std::string(c.name) == "another user's" && info.st_uid == ::geteuid()) {
            std::printf("[  SKIPPED ] another user's folder: this user cannot give one away\n");
            continue;
        }
        ScopedLogCapture log;
        {
            JsonFileSettingsStore store(own / "settings.json");
            EXPECT_EQ(store.data("trustedDevices"), std::nullopt);
            store.setString("outputMode", "gamepad");
        }
        EXPECT_EQ(readText(own / "settings.json"), planted);
        auto errors = log->lines(LogLevel::error, "Settings");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].message.find(own.string()), std::string::npos) << errors[0].message;
    }
}

TEST(JsonFileSettingsStorePath, FollowsXdgConfigHome) {
    // Put back on leaving, so that no other test sees these values.
    struct Saved {
        const char* name;
        std::optional<std::string> value;
        explicit Saved(const char* n) : name(n) {
            if (const char* v = std::getenv(n)) {
                value = v;
            }
        }
        ~Saved() { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
    } xdg("XDG_CONFIG_HOME"), home("HOME");

    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(JsonFileSettingsStore::defaultPath(), fs::path("/tmp/cfg/jolto-host/settings.json"));
    ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);
    EXPECT_EQ(JsonFileSettingsStore::defaultPath(),
              fs::path("/home/someone/.config/jolto-host/settings.json"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(JsonFileSettingsStore::defaultPath(),
              fs::path("/home/someone/.config/jolto-host/settings.json"));
}

namespace {

// Self-checking values of very different sizes, so a torn or mixed file cannot pass as whole.
std::string payload(long n) {
    std::size_t size = 1000 + static_cast<std::size_t>(n % 7) * 40000;
    return std::to_string(n) + "|" + std::string(size, static_cast<char>('a' + n % 26)) + "|" +
           std::to_string(n);
}

std::optional<long> checkPayload(const std::string& text) {
    auto first = text.find('|');
    auto last = text.rfind('|');
    if (first == std::string::npos || last == first) {
        return std::nullopt;
    }
    long n = std::stol(text.substr(0, first));
    return payload(n) == text ? std::optional(n) : std::nullopt;
}

bool readByte(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&entry, 1, timeoutMs) == 1 && ::read(fd, &byte, 1) == 1;
}

} // namespace

TEST_F(JsonFileSettingsStoreTest, WriterKilledMidWriteLeavesOneWholeVersion) {
    std::mt19937 random(std::random_device{}());
    long lastCompleted = -1;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const long start = lastCompleted + 1;
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            JsonFileSettingsStore store(file);
            for (long n = start; n < start + 100000; ++n) {
                store.setString("payload", payload(n));
                // The writer thread is killed in the middle of its saves.
                store.flush();
                char done = 1;
                if (::write(pipeFds[1], &done, 1) != 1) {
                    break;
                }
            }
            ::_exit(0);
        }
        ::close(pipeFds[1]);
        const int completedBeforeKill = std::uniform_int_distribution<int>(1, 12)(random);
        for (int i = 0; i < completedBeforeKill; ++i) {
            ASSERT_TRUE(readByte(pipeFds[0], 60000)) << "the writer stopped writing";
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ::close(pipeFds[0]);
        EXPECT_TRUE(WIFSIGNALED(status));

        ScopedLogCapture log;
        JsonFileSettingsStore reopened(file);
        EXPECT_TRUE(log->lines().empty()) << log->lines().front().message;
        auto text = reopened.string("payload");
        ASSERT_TRUE(text.has_value());
        auto n = checkPayload(*text);
        ASSERT_TRUE(n.has_value()) << "a torn value";
        // Every flush that returned is in the file; at most the one in flight is on top.
        EXPECT_GE(*n, start + completedBeforeKill - 1);
        lastCompleted = *n;
    }
}

TEST_F(JsonFileSettingsStoreTest, ConcurrentWritersLoseNothing) {
    constexpr int threads = 4;
    constexpr int writesEach = 15;
    {
        JsonFileSettingsStore store(file);
        std::atomic<bool> wrongRead{false};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                std::string key = "writer" + std::to_string(t);
                for (int i = 1; i <= writesEach; ++i) {
                    store.setNumber(key, i);
                    // Own writes are visible at once, whatever the others do meanwhile.
                    if (store.number(key) != i) {
                        wrongRead = true;
                    }
                    store.setString(key + "text", std::to_string(i));
                }
            });
        }
        for (auto& worker : workers) {
            worker.join();
        }
        EXPECT_FALSE(wrongRead);
    }
    JsonFileSettingsStore reopened(file);
    for (int t = 0; t < threads; ++t) {
        std::string key = "writer" + std::to_string(t);
        EXPECT_EQ(reopened.number(key), writesEach) << key;
        EXPECT_EQ(reopened.string(key + "text"), std::to_string(writesEach)) << key;
    }
    EXPECT_TRUE(filesStartingWith(folder.path(), "settings.json.tmp-").empty());
}
