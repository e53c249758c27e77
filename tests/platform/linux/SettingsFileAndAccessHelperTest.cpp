// The files the host keeps and starts on Linux: its settings file, and the access helper that
// pkexec runs. Both sets of tests work in a scratch folder of their own.

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fakes/CapturingLogSink.h"
#include "fakes/MemorySettingsStore.h"
#include "platform/linux/AccessHelper.h"
#include "platform/linux/JsonFileSettingsStore.h"
#include "platform/linux/UhidDevice.h"

using namespace jolto;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

namespace {

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string readText(const fs::path& file) {
    std::stringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

void writeText(const fs::path& file, std::string_view text) {
    std::ofstream(file, std::ios::binary) << text;
}

struct TempFolder {
    fs::path path = [] {
        std::string pattern = (fs::temp_directory_path() / "jolto-settings-XXXXXX").string();
        return fs::path(::mkdtemp(pattern.data()));
    }();
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::vector<fs::path> filesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> out;
    std::error_code notAFolder;
    for (auto& entry : fs::directory_iterator(folder, notAFolder)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            out.push_back(entry.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

// The in-memory fake is held to the file store's contract, so that tests using it stay truthful.
template <typename Store> class SettingsContract : public ::testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<SettingsStore> make() {
        if constexpr (std::is_same_v<Store, JsonFileSettingsStore>) {
            return std::make_unique<JsonFileSettingsStore>(folder.path / "settings.json");
        } else {
            return std::make_unique<Store>();
        }
    }
};
using StoreTypes = ::testing::Types<JsonFileSettingsStore, MemorySettingsStore>;
TYPED_TEST_SUITE(SettingsContract, StoreTypes);

TYPED_TEST(SettingsContract, EachKindAnswersOnlyToItsOwnReadAndAbsentKeysToTheFallback) {
    auto store = this->make();
    store->registerFallback("n", 7.0);
    store->registerFallback("b", 7.0);
    store->registerFallback("absent", 3.0);
    store->setData("d", bytesOf("true"));
    store->setString("s", "1");
    store->setBool("b", true);
    store->setNumber("n", 1.0);
    using Reads = std::tuple<std::optional<Bytes>, std::optional<std::string>, bool, double>;
    auto reads = [&](const char* key) {
        return Reads{store->data(key), store->string(key), store->boolean(key), store->number(key)};
    };
    const std::pair<const char*, Reads> expected[] = {
        {"d", {bytesOf("true"), std::nullopt, false, 0.0}},
        {"s", {std::nullopt, "1", false, 0.0}},
        {"b", {std::nullopt, std::nullopt, true, 7.0}}, // a bool is not a number: the fallback
        {"n", {std::nullopt, std::nullopt, false, 1.0}},
        {"absent", {std::nullopt, std::nullopt, false, 3.0}},
    };
    for (const auto& [key, want] : expected) {
        EXPECT_EQ(reads(key), want) << key;
    }
    store->setString("n", "replaced");
    EXPECT_EQ(reads("n"), (Reads{std::nullopt, "replaced", false, 7.0}));
    store->setNumber("n", 0.0);
    EXPECT_EQ(reads("n"), (Reads{std::nullopt, std::nullopt, false, 0.0}))
        << "a stored 0 is not absent";
}

class JsonFileSettingsStoreTest : public ::testing::Test {
protected:
    TempFolder folder;
    fs::path file = folder.path / "settings.json";
};

TEST_F(JsonFileSettingsStoreTest, EveryKindSurvivesTheFileExactly) {
    const double numbers[] = {0.1,      -0.0,      5.0, 1e300, DBL_TRUE_MIN, 1.0 + DBL_EPSILON,
                              HUGE_VAL, -HUGE_VAL, NAN};
    const std::vector<std::pair<std::string, Bytes>> data = {
        {"compactJson", bytesOf(R"([{"id":"A","lastSeen":725000000.5,"z":1,"a":[true,null]}])")},
        {"exponent", bytesOf("[7.25e8]")},
        {"escapedText", bytesOf(R"("\u00e9")")},
        {"binary", Bytes{0x00, 0xFF, 0x7B, 0x80, 0x0A}},
        {"empty", Bytes{}},
        {"oneByte", Bytes{0x01}},
        {"twoBytes", Bytes{0x01, 0x02}},
        {"deep", bytesOf(std::string(2000, '[') + std::string(2000, ']'))},
        {"deepButEmbedded", bytesOf(std::string(256, '[') + std::string(256, ']'))},
    };
    {
        JsonFileSettingsStore store(file);
        for (std::size_t i = 0; i < std::size(numbers); ++i) {
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
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
        const double read = reopened.number("n" + std::to_string(i));
        EXPECT_EQ(std::memcmp(&read, &numbers[i], sizeof read), 0) << i;
    }
    for (auto& [key, bytes] : data) {
        EXPECT_EQ(reopened.data(key), bytes) << key;
    }
    EXPECT_EQ(reopened.string("text"), "Zoë's \"phone\" \u2603\n");
    EXPECT_EQ(reopened.string("emptyText"), "");
    EXPECT_TRUE(reopened.boolean("yes"));
    EXPECT_FALSE(reopened.boolean("no"));

    // Only what is not compact JSON goes in base64; tests/app reads the embedded JSON back.
    auto stored = json::parse(readText(file));
    for (auto key : {"exponent", "escapedText", "binary"}) {
        EXPECT_TRUE(stored[key].contains("$data")) << key;
    }
    EXPECT_EQ(stored["text"], "Zoë's \"phone\" \u2603\n");
    EXPECT_EQ(stored["yes"], true);
    EXPECT_EQ(stored["n0"], 0.1);

    // It holds the paired phones' secrets.
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(JsonFileSettingsStoreTest, WhatIsOnDiskDecidesWhatIsReadAndWhatIsWritten) {
    // The settings file in a folder of this user's alone, then spoilt.
    auto own = [](std::string text, std::function<void(const fs::path&)> spoil = {}) {
        return [=](const fs::path& root) {
            fs::path folder = root / "jolto-host";
            fs::create_directory(folder);
            ::chmod(folder.c_str(), 0700);
            writeText(folder / "settings.json", text);
            if (spoil) {
                spoil(folder);
            }
            return folder / "settings.json";
        };
    };
    const std::string planted = R"({"outputMode": "x", "trustedDevices": {"$data": "cGxhbnQ="}})";
    const std::string foreign = R"({"fromANewerVersion": [1, {"x": null}], "outputMode": "x",
                                    "trustedDevices": {"$data": 5}, "n": {"$json": 1, "y": 2}})";
    const std::string written = R"({"outputMode": "keyboardMouse", "rumbleFromAudio": true})";
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path& root)> prepare; // empty: not possible here
        std::optional<std::string> reads;                      // outputMode on opening
        std::size_t errors;                                    // each naming the folder
        std::optional<std::string> after;                      // nothing: the file as it was
        std::function<void(const fs::path& root)> check = {};
    };
    const Case cases[] = {
        {"other keys are kept, odd data forms are not data", own(foreign), "x", 0,
         R"({"fromANewerVersion": [1, {"x": null}], "outputMode": "keyboardMouse",
             "trustedDevices": {"$data": 5}, "n": {"$json": 1, "y": 2}, "rumbleFromAudio": true})"},
        {"cut short", own(R"({"outputMode": "gamepad",)"), std::nullopt, 1, written},
        {"not an object", own("[1, 2]"), std::nullopt, 1, written},
        {"empty", own(""), std::nullopt, 1, written},
        {"nested too deeply", own(std::string(5000, '[')), std::nullopt, 1, written},
        {"group-writable folder", own(planted, [](auto& f) { ::chmod(f.c_str(), 0770); }),
         std::nullopt, 1, std::nullopt},
        {"world-writable folder", own(planted, [](auto& f) { ::chmod(f.c_str(), 0703); }),
         std::nullopt, 1, std::nullopt},
        {"linked folder",
         own(planted,
             [](const fs::path& f) {
                 fs::rename(f, f.string() + "-real");
                 fs::create_directory_symlink(f.string() + "-real", f);
             }),
         std::nullopt, 1, std::nullopt},
        {"another user's folder",
         [&](const fs::path& root) {
             fs::path file = own(planted)(root);
             return ::chown(file.parent_path().c_str(), 65534, 65534) == 0 ? file : fs::path();
         },
         std::nullopt, 1, std::nullopt},
        {"missing folders", [](auto& root) { return root / "a" / "b" / "settings.json"; },
         std::nullopt, 0, written},
        {"a file where the folder should be",
         [](const fs::path& root) {
             writeText(root / "blocker", "");
             return root / "blocker" / "settings.json";
         },
         std::nullopt, 1, std::nullopt},
        {"linked file, with old temp files beside its target",
         [](const fs::path& root) {
             for (auto f : {"dotfiles", "config"}) {
                 fs::create_directory(root / f);
                 fs::permissions(root / f, fs::perms::owner_all);
             }
             writeText(root / "dotfiles" / "jolto.json", R"({"outputMode": "x"})");
             writeText(root / "dotfiles" / "jolto.json.tmp-AbC123", "{");
             writeText(root / "dotfiles" / "jolto.json.tmp-XyZ789", "{");
             fs::last_write_time(root / "dotfiles" / "jolto.json.tmp-AbC123",
                                 fs::file_time_type::clock::now() - std::chrono::hours(1));
             fs::create_symlink("../dotfiles/jolto.json", root / "config" / "settings.json");
             return root / "config" / "settings.json";
         },
         "x", 0, written,
         [](const fs::path& root) {
             EXPECT_TRUE(fs::is_symlink(root / "config" / "settings.json"));
             EXPECT_EQ(std::distance(fs::directory_iterator(root / "config"), {}), 1);
             // The young one may belong to another instance writing right now.
             EXPECT_EQ(filesStartingWith(root / "dotfiles", "jolto.json"),
                       (std::vector{root / "dotfiles" / "jolto.json",
                                    root / "dotfiles" / "jolto.json.tmp-XyZ789"}));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        const fs::path path = c.prepare(root.path);
        if (path.empty()) {
            std::printf("[  SKIPPED ] %s: cannot be set up by this user\n", c.name);
            continue;
        }
        const std::string before = readText(path);
        ScopedLogCapture log;
        {
            JsonFileSettingsStore store(path);
            store.registerFallback("rumbleStrength", 1.0);
            EXPECT_EQ(store.string("outputMode"), c.reads);
            EXPECT_EQ(store.data("trustedDevices"), std::nullopt);
            EXPECT_EQ(store.data("n"), std::nullopt);
            EXPECT_EQ(readText(path), before) << "reading alone changes nothing on disk";
            store.setString("outputMode", "keyboardMouse");
            store.flush();
            store.setBool("rumbleFromAudio", true); // right before the store goes
        }
        if (c.after) {
            EXPECT_EQ(json::parse(readText(path)), json::parse(*c.after));
        } else {
            EXPECT_EQ(readText(path), before);
        }
        auto aside = filesStartingWith(path.parent_path(), "settings.json.unreadable-");
        // An unreadable file (an error, yet written over) is kept aside.
        ASSERT_EQ(aside.size(), c.errors && c.after ? 1u : 0u);
        for (auto& kept : aside) {
            EXPECT_EQ(readText(kept), before);
        }
        auto errors = log->lines(LogLevel::error, "Settings");
        ASSERT_EQ(errors.size(), c.errors);
        for (auto& line : errors) {
            EXPECT_NE(line.message.find(path.parent_path().string()), std::string::npos);
        }
        if (c.check) {
            c.check(root.path);
        }
    }
}

// An absolute XDG_CONFIG_HOME is followed in tests/e2e, which keeps the host's settings there.
TEST(JsonFileSettingsStorePath, IsUnderHomeWithoutAnAbsoluteXdgConfigHome) {
    struct Saved {
        const char* name;
        std::optional<std::string> value =
            std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
        ~Saved() { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
    } xdg{"XDG_CONFIG_HOME"}, home{"HOME"};

    ::setenv("HOME", "/home/someone", 1);
    for (bool relative : {true, false}) {
        relative ? ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1) : ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(JsonFileSettingsStore::defaultPath(),
                  fs::path("/home/someone/.config/jolto-host/settings.json"));
    }
}

TEST_F(JsonFileSettingsStoreTest, ConcurrentWritersLoseNothingInFewSaves) {
    constexpr int threads = 4;
    constexpr int writesEach = 250; // sliders dragged across their range
    JsonFileSettingsStore store(file);
    std::atomic<bool> wrongRead{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::string key = "writer" + std::to_string(t);
            for (int i = 1; i <= writesEach; ++i) {
                store.setNumber(key, i);
                if (store.number(key) != i) {
                    wrongRead = true;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_FALSE(wrongRead) << "an own write was not visible at once";
    store.flush();
    EXPECT_LE(store.saveCount(), 5u);
    EXPECT_EQ(json::parse(readText(file)), json({{"writer0", writesEach},
                                                 {"writer1", writesEach},
                                                 {"writer2", writesEach},
                                                 {"writer3", writesEach}}));
    EXPECT_TRUE(filesStartingWith(folder.path, "settings.json.tmp-").empty());

    // A slider moved slowly for 300 ms: at most one save per interval, and one for the flush.
    const auto savesBefore = store.saveCount();
    for (int i = 0; i < 30; ++i) {
        store.setNumber("rumbleStrength", i / 30.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    store.flush();
    EXPECT_LE(store.saveCount() - savesBefore, 3u);
}

TEST_F(JsonFileSettingsStoreTest, WriterKilledMidWriteLeavesOneWholeVersion) {
    // Values of very different sizes, so that a torn or mixed file cannot pass as whole.
    auto payload = [](long n) {
        return std::to_string(n) + "|" + std::string(1000 + n % 7 * 40000, char('a' + n % 26));
    };
    std::mt19937 random(std::random_device{}());
    long lastCompleted = -1;
    for (int round = 0; round < 20; ++round) {
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
                store.flush();
                if (::write(pipeFds[1], "", 1) != 1) {
                    break;
                }
            }
            ::_exit(0);
        }
        ::close(pipeFds[1]);
        const int completedBeforeKill = std::uniform_int_distribution<int>(1, 12)(random);
        char byte = 0;
        for (int i = 0; i < completedBeforeKill; ++i) {
            ASSERT_EQ(::read(pipeFds[0], &byte, 1), 1) << "the writer stopped writing";
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
        const long n = std::stol(*text);
        ASSERT_EQ(*text, payload(n)) << "a torn value";
        // Every flush that returned is in the file; at most the one in flight is on top.
        EXPECT_GE(n, start + completedBeforeKill - 1);
        lastCompleted = n;
    }
}

// A stand-in pkexec records its arguments and ends as the test says: run() without polkit.
class AccessHelperRun : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "bin");
        writeScript(helper_, "#!/bin/sh\nexit 0\n");
    }
    static void writeScript(const fs::path& path, const std::string& text) {
        writeText(path, text);
        fs::permissions(path, fs::perms::owner_all);
    }
    void fakePkexec(const std::string& ending) {
        writeScript(dir_ / "bin" / "pkexec", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                                                 (dir_ / "args").string() + "'\n" + ending + "\n");
    }

    TempFolder folder;
    const fs::path dir_ = fs::canonical(folder.path);
    const std::string helper_ = (dir_ / "jolto-host-access").string();
};

TEST_F(AccessHelperRun, MapsPkexecStatusesToOutcomes) {
    using O = AccessHelper::Outcome;
    const std::tuple<std::string, O, int> cases[] = {{"exit 0", O::granted, 0},
                                                     {"exit 126", O::cancelled, 126},
                                                     {"exit 127", O::notAuthorized, 127},
                                                     {"exit 1", O::failed, 1},
                                                     {"exit 3", O::failed, 3},
                                                     {"kill -KILL $$", O::failed, -1}};
    for (const auto& [ending, outcome, status] : cases) {
        fakePkexec(ending);
        auto result = AccessHelper({helper_}, (dir_ / "bin").string()).run();
        EXPECT_EQ(result, (AccessHelper::Result{outcome, status})) << ending;
    }
    // pkexec must get the canonical absolute path (polkit matches the action on it) and must
    // not fall back to asking on a terminal.
    EXPECT_EQ(readText(dir_ / "args"), "--disable-internal-agent\n" + helper_ + "\n");
}

TEST_F(AccessHelperRun, UnavailableWithoutPkexecOrScript) {
    fakePkexec("exit 0");
    // pkexec only in a relative PATH entry, or nowhere: not used.
    fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    auto relativeOnly = AccessHelper({helper_}, "bin::").run();
    fs::current_path(cwd);
    EXPECT_EQ(relativeOnly.outcome, AccessHelper::Outcome::unavailable);
    EXPECT_EQ(AccessHelper({helper_}, (dir_ / "nothing").string()).run().outcome,
              AccessHelper::Outcome::unavailable);

    AccessHelper noScript({(dir_ / "missing").string()}, (dir_ / "bin").string());
    EXPECT_EQ(noScript.run(), (AccessHelper::Result{AccessHelper::Outcome::unavailable, -1}));
    EXPECT_FALSE(fs::exists(dir_ / "args")) << "pkexec ran without a script to run";
}

TEST_F(AccessHelperRun, PicksTheFirstExecutableCandidateCanonicallyAndQuotesItForTheShell) {
    fs::create_directories(dir_ / "folder" / "jolto-host-access");
    std::string notExecutable = (dir_ / "plain").string();
    writeText(notExecutable, "#!/bin/sh\n");
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);

    AccessHelper helper({(dir_ / "missing").string(), notExecutable,
                         (dir_ / "folder" / "jolto-host-access").string(),
                         (dir_ / "bin" / ".." / "jolto-host-access").string()},
                        "/usr/bin");
    EXPECT_EQ(helper.helperPath(), helper_);
    EXPECT_EQ(helper.manualCommand(), "sudo " + helper_);

    AccessHelper none({"/nonexistent/libexec/jolto-host/jolto-host-access"}, "/usr/bin");
    EXPECT_EQ(none.helperPath(), std::nullopt);
    EXPECT_EQ(none.manualCommand(), "sudo /nonexistent/libexec/jolto-host/jolto-host-access");

    fs::create_directories(dir_ / "it's here");
    writeScript(dir_ / "it's here" / "jolto-host-access", "#!/bin/sh\n");
    AccessHelper odd({(dir_ / "it's here" / "jolto-host-access").string()}, "/usr/bin");
    EXPECT_EQ(odd.manualCommand(), "sudo '" + dir_.string() + "/it'\\''s here/jolto-host-access'");
}

TEST_F(AccessHelperRun, TheDeviceEntitlementIsTheRightToOpenIt) {
    EXPECT_FALSE(hasVirtualDeviceEntitlement((dir_ / "missing").c_str()));
    EXPECT_TRUE(hasVirtualDeviceEntitlement(helper_.c_str()));
}
