#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/CapturingLogSink.h"
#include "platform/linux/AvahiAdvertiser.h"

using namespace jolto;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// Every test of this file talks to one private system-bus address, set before the first D-Bus
// call of the process (libdbus reads it once). Nothing listens there unless a test starts its
// own bus daemon, so the machine's own bus and Avahi daemon are never involved.
struct BusDirectory {
    BusDirectory()
        : path(std::filesystem::temp_directory_path() /
               ("jolto-advertiser-test-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path);
    }
    ~BusDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

const std::filesystem::path& busDirectory() {
    static const BusDirectory dir;
    return dir.path;
}

void usePrivateBus() {
    const std::string address = "unix:path=" + (busDirectory() / "bus").string();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
}

struct Heard {
    std::optional<std::string> problem;
    std::thread::id thread;
};

class Recorder {
public:
    ServiceAdvertiser::ProblemCallback callback() {
        return [this](std::optional<std::string> problem) {
            std::lock_guard lock(mutex_);
            heard_.push_back({std::move(problem), std::this_thread::get_id()});
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::seconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return heard_.size() >= count; });
    }
    std::vector<Heard> heard() {
        std::lock_guard lock(mutex_);
        return heard_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Heard> heard_;
};

class AdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override { usePrivateBus(); }
    ScopedLogCapture log;
};

TEST_F(AdvertiserTest, WithoutABusTheProblemIsReportedOnceOffTheCallersThreadUntilWithdrawn) {
    AvahiAdvertiser advertiser(10ms);
    Recorder recorder;
    advertiser.publish("Test Host", "_zevctrl._udp", 40000, recorder.callback());
    ASSERT_TRUE(recorder.waitFor(1));
    auto heard = recorder.heard();
    EXPECT_EQ(heard[0].problem, std::string(AvahiAdvertiser::daemonMissing));
    EXPECT_NE(heard[0].thread, std::this_thread::get_id());

    // Many retries later the window and the log still heard it once.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder.heard().size(), 1u);
    EXPECT_EQ(log->lines(LogLevel::error, "Advertiser").size(), 1u);

    // A republish on the listener's new port is a new request: its caller hears the state too.
    advertiser.publish("Test Host", "_zevctrl._udp", 40001, recorder.callback());
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.heard()[1].problem, std::string(AvahiAdvertiser::daemonMissing));

    // A withdrawn service reports nothing further.
    advertiser.withdraw();
    const auto before = recorder.heard().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.heard().size(), before);
}

TEST_F(AdvertiserTest, DestroyingAtAnyMomentIsSafe) {
    // Before the poll thread has seen the request, while it is connecting, and while its retry
    // timer is armed. The sanitizer build turns a use after free into a failure here.
    for (int i = 0; i < 20; ++i) {
        AvahiAdvertiser advertiser(5ms);
        advertiser.publish("Host", "_zevctrl._udp", static_cast<std::uint16_t>(40000 + i),
                           [](std::optional<std::string>) {});
        if (i % 2 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(i));
        }
    }
    AvahiAdvertiser idle;
}

// The usual desktop without Avahi: the system bus runs, the daemon does not. The client waits
// for the daemon and the window hears why the host is not visible.
TEST_F(AdvertiserTest, OnABusWithoutTheDaemonTheProblemIsReported) {
    const char* daemon = "/usr/bin/dbus-daemon";
    if (::access(daemon, X_OK) != 0) {
        GTEST_SKIP() << "dbus-daemon is not installed, so no private bus can be started";
    }
    const auto config = busDirectory() / "bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type><listen>unix:path="
            << (busDirectory() / "bus").string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
               "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
               "</policy></busconfig>\n";
    }
    const std::string configArg = "--config-file=" + config.string();
    std::vector<char*> argv{const_cast<char*>(daemon), const_cast<char*>(configArg.c_str()),
                            const_cast<char*>("--nofork"), const_cast<char*>("--nopidfile"),
                            nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, daemon, nullptr, nullptr, argv.data(), environ), 0);
    const auto socket = busDirectory() / "bus";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const bool busUp = std::filesystem::exists(socket);
    {
        AvahiAdvertiser advertiser(10ms);
        Recorder recorder;
        if (busUp) {
            advertiser.publish("Test Host", "_zevctrl._udp", 40000, recorder.callback());
            EXPECT_TRUE(recorder.waitFor(1));
            auto heard = recorder.heard();
            ASSERT_FALSE(heard.empty());
            EXPECT_EQ(heard[0].problem, std::string(AvahiAdvertiser::daemonMissing));
        }
        // The advertiser goes while its client is still connected to the bus.
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::filesystem::remove(socket);
    ASSERT_TRUE(busUp) << "the private bus did not come up";
}

TEST(AdvertiserServiceName, FitsTheSixtyThreeByteLimitOnWholeCharacters) {
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(70, 'a')), std::string(63, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(63, 'a')), std::string(63, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(62, 'a') + "\xC3\xA9"),
              std::string(62, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(""), "Linux");
}

} // namespace
