#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "server/Asio.h"
#include <gtest/gtest.h>

#include "platform/linux/AsioUdpListener.h"
#include "protocol/Packet.h"

using namespace jolto;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// Just enough of a host to see what the simulator sends: a PIN of 1234 pairs, a paired phone
// is welcomed as player 1 of session 77, pings are answered, and one rumble follows every
// welcome.
class FakeHost {
public:
    explicit FakeHost(asio::io_context& io) : listener_(io) {
        UdpListenerHandler h;
        h.ready = [this](std::uint16_t p) { port = p; };
        h.datagram = [this](ConnectionId c, std::span<const std::uint8_t> bytes, Instant) {
            onDatagram(c, bytes);
        };
        EXPECT_EQ(listener_.start(h), "");
    }

    std::uint16_t port = 0;
    std::map<Uuid, Uuid> trusted;
    std::vector<Packet::Hello> hellos;
    std::vector<Packet::State> states;
    std::vector<Packet::Goodbye> goodbyes;
    int pings = 0;

private:
    void reply(ConnectionId c, const Packet& p) { listener_.send(c, encoded(p)); }

    void onDatagram(ConnectionId c, std::span<const std::uint8_t> bytes) {
        const auto packet = decode(bytes);
        if (!packet) {
            return;
        }
        if (const auto* hello = packet->get<Packet::Hello>()) {
            hellos.push_back(*hello);
            const auto known = trusted.find(hello->deviceID);
            const bool isTrusted = known != trusted.end() && known->second == hello->secret;
            if (!isTrusted && !hello->pin) {
                reply(c, Packet::Welcome{WelcomeStatus::pinRequired, 0, 0, "Fake Host"});
                return;
            }
            if (!isTrusted && hello->pin != 1234) {
                reply(c, Packet::Welcome{WelcomeStatus::pinIncorrect, 0, 0, "Fake Host"});
                return;
            }
            trusted[hello->deviceID] = hello->secret;
            reply(c, Packet::Welcome{WelcomeStatus::accepted, 77, 1, "Fake \"Host\""});
            reply(c, Packet::Rumble{77, 128 / 255.0f, 64 / 255.0f, 200});
        } else if (const auto* state = packet->get<Packet::State>()) {
            states.push_back(*state);
        } else if (const auto* ping = packet->get<Packet::Ping>()) {
            ++pings;
            if (ping->session == 77) {
                reply(c, Packet::Pong{ping->timestamp});
            }
        } else if (const auto* goodbye = packet->get<Packet::Goodbye>()) {
            goodbyes.push_back(*goodbye);
        }
    }

    AsioUdpListener listener_;
};

struct PhoneRun {
    int exitCode = -1;
    std::vector<std::string> lines;
    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::size_t countStartingWith(const std::string& prefix) const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; }));
    }
};

class JoltoPhoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("jolto-phone-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (host.port == 0 && std::chrono::steady_clock::now() < deadline) {
            io.run_for(5ms);
        }
        ASSERT_NE(host.port, 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Runs the simulator with the host serving alongside; `whileRunning` may act on the child
    // once it has printed `trigger`.
    PhoneRun phone(std::vector<std::string> args, const std::string& trigger = {},
                   const std::function<void(pid_t)>& whileRunning = {}) {
        std::vector<std::string> all{JOLTO_PHONE_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        PhoneRun run;
        if (spawned != 0) {
            ::close(out[0]);
            ADD_FAILURE() << "couldn't start " << argv[0];
            return run;
        }
        ::fcntl(out[0], F_SETFL, O_NONBLOCK);
        std::string text;
        bool triggered = trigger.empty();
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (true) {
            io.restart();
            io.run_for(5ms);
            char buffer[4096];
            for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(n));
            }
            if (!triggered && text.find(trigger) != std::string::npos) {
                triggered = true;
                whileRunning(pid);
            }
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "jolto-phone did not finish; it printed:\n" << text;
                break;
            }
        }
        // The last datagrams (the goodbye) may still be in the host's socket.
        io.restart();
        io.run_for(50ms);
        for (ssize_t n; (n = ::read(out[0], buffer_, sizeof buffer_)) > 0;) {
            text.append(buffer_, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            run.lines.push_back(text.substr(start, end - start));
        }
        return run;
    }

    std::vector<std::string> target() { return {"127.0.0.1", std::to_string(host.port)}; }

    std::vector<std::string> with(std::vector<std::string> a, std::vector<std::string> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    asio::io_context io;
    FakeHost host{io};
    std::filesystem::path dir;
    char buffer_[4096];
};

TEST_F(JoltoPhoneTest, PairedPhoneIsTrustedNextTimeAndPlaysItsScript) {
    const std::string identity = (dir / "identity.json").string();
    auto unknown = phone(with({"play"}, with(target(), {"--identity", identity, "--rate", "10"})));
    EXPECT_EQ(unknown.exitCode, 3);
    EXPECT_TRUE(unknown.has("welcome status=pinRequired session=0 player=0 host=\"Fake Host\""));

    auto paired = phone(with({"pair"}, with(target(), {"--identity", identity, "--pin", "1234",
                                                       "--name", "Test Phone"})));
    EXPECT_EQ(paired.exitCode, 0);
    EXPECT_TRUE(
        paired.has("welcome status=accepted session=77 player=1 host=\"Fake \\\"Host\\\"\""));
    ASSERT_EQ(host.goodbyes.size(), 1u);
    EXPECT_EQ(host.goodbyes[0].session, 77u);
    ASSERT_FALSE(host.hellos.empty());
    EXPECT_EQ(host.hellos.back().name, "Test Phone");
    EXPECT_EQ(host.hellos.back().pin, 1234);

    const std::string script = (dir / "script.txt").string();
    std::ofstream(script) << "press south\n"
                             "wait 0.1\n"
                             "release south\n"
                             "at 0.2 left 0 1\n"
                             "rt 1\n"
                             "wait 0.5   # unchanged: only keepalives\n";
    host.states.clear();
    auto played =
        phone(with({"play"}, with(target(), {"--identity", identity, "--script", script})));
    EXPECT_EQ(played.exitCode, 0);
    // No PIN this time: the stored identity is trusted.
    EXPECT_FALSE(host.hellos.back().pin);
    EXPECT_TRUE(played.has("rumble low=128 high=64 duration=200"));
    ASSERT_GE(host.states.size(), 3u);
    for (std::size_t i = 0; i < host.states.size(); ++i) {
        EXPECT_EQ(host.states[i].session, 77u);
        if (i > 0) {
            EXPECT_GT(host.states[i].sequence, host.states[i - 1].sequence);
        }
    }
    EXPECT_EQ(host.states.front().state.buttons, ButtonSet{ControllerButton::south});
    ControllerState last;
    last.leftStick = {0, 1};
    last.rightTrigger = 1;
    EXPECT_EQ(host.states.back().state, last);
    // Three different states were scripted; the half second without change still sent some.
    std::size_t changes = 0;
    for (std::size_t i = 1; i < host.states.size(); ++i) {
        changes += host.states[i].state == host.states[i - 1].state ? 0 : 1;
    }
    EXPECT_GT(host.states.size(), changes + 1) << "no keepalive states";
    ASSERT_EQ(host.goodbyes.size(), 2u);
}

TEST_F(JoltoPhoneTest, TraceListsEveryStateSentWithItsSendTime) {
    const std::string script = (dir / "script.txt").string();
    std::ofstream(script) << "press south\nwait 0.05\nrelease south\npress east\nwait 0.25\n";
    const auto before = std::chrono::steady_clock::now();
    auto run =
        phone(with({"play"}, with(target(), {"--identity", (dir / "id.json").string(), "--pin",
                                             "1234", "--script", script, "--trace"})));
    const auto after = std::chrono::steady_clock::now();
    EXPECT_EQ(run.exitCode, 0);
    const auto micros = [](auto t) {
        return static_cast<unsigned long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
    };
    std::vector<std::tuple<std::uint32_t, unsigned, unsigned long long>> traced;
    for (const auto& line : run.lines) {
        unsigned seq = 0, buttons = 0;
        unsigned long long at = 0;
        if (std::sscanf(line.c_str(), "state seq=%u buttons=0x%x sent_us=%llu", &seq, &buttons,
                        &at) == 3) {
            traced.emplace_back(seq, buttons, at);
        }
    }
    // One line per state the host received, keepalives included, stamped on this machine's
    // monotonic clock.
    ASSERT_EQ(traced.size(), host.states.size());
    for (std::size_t i = 0; i < traced.size(); ++i) {
        const auto& [seq, buttons, at] = traced[i];
        EXPECT_EQ(seq, host.states[i].sequence);
        EXPECT_EQ(buttons, host.states[i].state.buttons.rawValue());
        EXPECT_GE(at, micros(before));
        EXPECT_LE(at, micros(after));
        if (i > 0) {
            EXPECT_GE(at, std::get<2>(traced[i - 1]));
        }
    }
    ASSERT_GE(traced.size(), 3u);
    EXPECT_EQ(std::get<1>(traced[0]), ButtonSet{ControllerButton::south}.rawValue());
    EXPECT_EQ(std::get<1>(traced.back()), ButtonSet{ControllerButton::east}.rawValue());
}

TEST_F(JoltoPhoneTest, WrongPinIsRefusedWithItsStatus) {
    auto run = phone(with(
        {"pair"}, with(target(), {"--identity", (dir / "id.json").string(), "--pin", "0042"})));
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(run.has("welcome status=pinIncorrect session=0 player=0 host=\"Fake Host\""));
    EXPECT_TRUE(host.goodbyes.empty());
}

TEST_F(JoltoPhoneTest, PingsPrintRoundTripsAndASummary) {
    auto run =
        phone(with({"ping"}, with(target(), {"--identity", (dir / "id.json").string(), "--pin",
                                             "1234", "--count", "3", "--interval", "0.05"})));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.countStartingWith("pong rtt_us="), 3u);
    EXPECT_EQ(run.countStartingWith("ping sent=3 received=3 "), 1u);
    EXPECT_EQ(host.pings, 3);
}

TEST_F(JoltoPhoneTest, InterruptSaysGoodbye) {
    auto run = phone(with({"play"}, with(target(), {"--identity", (dir / "id.json").string(),
                                                    "--pin", "1234", "--rate", "50"})),
                     "welcome status=accepted", [](pid_t pid) { ::kill(pid, SIGINT); });
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(host.goodbyes.size(), 1u);
    EXPECT_EQ(host.goodbyes[0].session, 77u);
}

TEST_F(JoltoPhoneTest, SilentHostEndsWithNoAnswer) {
    // A port nobody serves: hellos go unanswered until the timeout.
    asio::io_context other;
    std::uint16_t deadPort = 0;
    {
        AsioUdpListener closed(other);
        UdpListenerHandler h;
        h.ready = [&](std::uint16_t p) { deadPort = p; };
        ASSERT_EQ(closed.start(h), "");
        other.run_for(20ms);
    }
    ASSERT_NE(deadPort, 0);
    auto run = phone({"ping", "127.0.0.1", std::to_string(deadPort), "--identity",
                      (dir / "id.json").string(), "--timeout", "0.6"});
    EXPECT_EQ(run.exitCode, 4);
}

TEST_F(JoltoPhoneTest, BadArgumentsAreAUsageError) {
    EXPECT_EQ(phone({"pair", "127.0.0.1", "1"}).exitCode, 1); // no --pin
    EXPECT_EQ(phone({"play", "127.0.0.1", "70000", "--rate", "5"}).exitCode, 1);
    EXPECT_EQ(phone({"fly"}).exitCode, 1);
}

} // namespace
