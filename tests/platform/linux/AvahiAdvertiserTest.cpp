// The DNS-SD advertiser without an Avahi daemon, and the name it advertises.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/CapturingLogSink.h"
#include "platform/linux/AvahiAdvertiser.h"
#include "platform/linux/HostIdentity.h"

using namespace jolto;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Every test of this file talks to one private system-bus address, set before the first D-Bus
// call of the process (libdbus reads it once). Nothing listens there unless a test starts its
// own bus daemon, so the machine's own bus and Avahi daemon are never involved.
struct PrivateBus {
    fs::path folder =
        fs::temp_directory_path() / ("jolto-advertiser-test-" + std::to_string(::getpid()));
    fs::path socket = folder / "bus";
    PrivateBus() {
        fs::create_directories(folder);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket.string()).c_str(), 1);
    }
    ~PrivateBus() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

const PrivateBus& privateBus() {
    static const PrivateBus bus;
    return bus;
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
    // Everything heard, once there are `count` or else when `limit` has passed.
    std::vector<Heard> waitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return heard_.size() >= count; });
        return heard_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Heard> heard_;
};

class AdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override { privateBus(); }
    ScopedLogCapture log;
    Recorder recorder;
};

TEST_F(AdvertiserTest, WithoutABusTheProblemIsReportedOnceOffTheCallersThreadPerRequest) {
    AvahiAdvertiser advertiser(10ms);
    advertiser.publish("Test Host", "_zevctrl._udp", 40000, recorder.callback());
    auto heard = recorder.waitFor(1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].problem, std::string(AvahiAdvertiser::daemonMissing));
    EXPECT_NE(heard[0].thread, std::this_thread::get_id());
    // Many retries later the window and the log still heard it once.
    EXPECT_EQ(recorder.waitFor(2, 300ms).size(), 1u);
    EXPECT_EQ(log->lines(LogLevel::error, "Advertiser").size(), 1u);

    // A republish on the listener's new port is a new request: its caller hears the state too.
    advertiser.publish("Test Host", "_zevctrl._udp", 40001, recorder.callback());
    heard = recorder.waitFor(2);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].problem, std::string(AvahiAdvertiser::daemonMissing));

    // A withdrawn service reports nothing; published again as it was, it is a new request.
    advertiser.withdraw();
    EXPECT_EQ(recorder.waitFor(3, 100ms).size(), 2u);
    advertiser.publish("Test Host", "_zevctrl._udp", 40001, recorder.callback());
    EXPECT_EQ(recorder.waitFor(3).size(), 3u) << "the withdrawal was not noticed";
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
    // A session bus lets this user do anything, which is all the client needs of a bus.
    const std::string address = "--address=unix:path=" + privateBus().socket.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(daemon, daemon, "--session", "--nofork", "--nopidfile", address.c_str(), nullptr);
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(privateBus().socket) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const bool busUp = fs::exists(privateBus().socket);
    if (busUp) {
        AvahiAdvertiser advertiser(10ms);
        advertiser.publish("Test Host", "_zevctrl._udp", 40000, recorder.callback());
        auto heard = recorder.waitFor(1);
        EXPECT_EQ(heard.empty() ? std::nullopt : heard[0].problem,
                  std::string(AvahiAdvertiser::daemonMissing));
        // The advertiser goes while its client is still connected to the bus.
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove(privateBus().socket);
    ASSERT_TRUE(busUp) << "the private bus did not come up";
}

TEST(AdvertisedName, FitsTheSixtyThreeByteLimitOnWholeCharacters) {
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(70, 'a')), std::string(63, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(63, 'a')), std::string(63, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(62, 'a') + "\xC3\xA9"),
              std::string(62, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(""), "Linux");
}

TEST(AdvertisedName, IsThePrettyHostnameReadLikeAShellWould) {
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Living Room PC\"\n"),
              "Living Room PC");
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=desktop\nPRETTY_HOSTNAME='Ann'\n"), "Ann");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Say \\\"hi\\\"\""), "Say \"hi\"");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=Den"), "Den");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"\"\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=laptop\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo(""), std::nullopt);
    EXPECT_FALSE(computerDisplayName().empty());
}

} // namespace
