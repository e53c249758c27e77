// The server on a real UDP socket on loopback, its context run by its own thread as in the
// program, with the jolto-phone simulator as the phone: pair, play, rumble, goodbye.

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "server/Asio.h"

#include "fakes/HostServerHarness.h"
#include "platform/linux/AsioUdpListener.h"

extern char** environ;

using namespace jolto;
using namespace jolto::testing;
using namespace std::chrono_literals;

namespace {

// Passes everything to the real listener and counts the rumble packets sent.
class CountingListener final : public UdpListener {
public:
    explicit CountingListener(UdpListener& inner) : inner_(inner) {}
    std::string start(UdpListenerHandler handler) override {
        return inner_.start(std::move(handler));
    }
    void cancel() override { inner_.cancel(); }
    void send(ConnectionId connection, std::span<const std::uint8_t> datagram) override {
        if (datagram.size() > 5 && datagram[5] == 7) {
            ++rumbles;
        }
        inner_.send(connection, datagram);
    }
    void close(ConnectionId connection) override { inner_.close(connection); }
    std::string describe(ConnectionId connection) const override {
        return inner_.describe(connection);
    }

    std::atomic<int> rumbles{0};

private:
    UdpListener& inner_;
};

struct PhoneProcess {
    pid_t pid = -1;
    int output = -1;
    std::string text;
    int exitCode = -1;
    bool done = false;

    // Reads what the phone printed so far; true once it has ended.
    bool poll() {
        char buffer[4096];
        for (ssize_t n; (n = ::read(output, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        if (!done && ::waitpid(pid, &status, WNOHANG) == pid) {
            done = true;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            for (ssize_t n; (n = ::read(output, buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(output);
        }
        return done;
    }
    void kill() {
        if (!done) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(output);
            done = true;
        }
    }
};

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class Loopback : public ::testing::Test {
protected:
    template <typename F> auto onServer(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(context, [&task] { task(); });
        return result.get();
    }

    void SetUp() override {
        setLogSink(log);
        dir = std::filesystem::temp_directory_path() /
              ("jolto-loopback-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        server = HostServer::create("Loopback Host", HostServer::Ports{context,
                                                                       clock,
                                                                       counting,
                                                                       nullptr,
                                                                       settings,
                                                                       keyboard,
                                                                       gamepads,
                                                                       true,
                                                                       nullptr,
                                                                       {}});
        thread = std::thread([this] { context.run(); });
        server->start(OutputMode::keyboardMouse, KeyMapping::shooter(),
                      [this](const HostEvent& event) {
                          std::lock_guard lock(mutex);
                          events.push_back(event);
                      });
        ASSERT_TRUE(waitFor([&] { return port() != 0; })) << "the listener never became ready";
    }

    void TearDown() override {
        // The listener belongs to the server's context; it is stopped there.
        onServer([this] { server.reset(); });
        work.reset();
        thread.join();
        setLogSink(nullptr);
        std::filesystem::remove_all(dir);
    }

    template <typename F> bool waitFor(F condition, std::chrono::seconds limit = 20s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    std::vector<HostEvent> eventsSoFar() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::uint16_t port() {
        for (const auto& e : eventsSoFar()) {
            if (auto l = e.get<HostEvent::Listener>();
                l && l->state.kind == ListenerState::Kind::ready) {
                return l->state.port;
            }
        }
        return 0;
    }
    std::string pin() {
        std::string text;
        for (const auto& e : eventsSoFar()) {
            if (auto p = e.get<HostEvent::Pin>()) {
                text = p->pin;
            }
        }
        return text;
    }

    PhoneProcess phone(std::vector<std::string> args) {
        std::vector<std::string> all{JOLTO_PHONE_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(),
                   {"--identity", (dir / "identity.json").string(), "--name", "Loopback phone"});
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        PhoneProcess process;
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "no pipe";
            process.done = true;
            return process;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        int spawned = posix_spawn(&process.pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            ADD_FAILURE() << "couldn't start " << argv[0];
            process.done = true;
            return process;
        }
        ::fcntl(out[0], F_SETFL, O_NONBLOCK);
        process.output = out[0];
        return process;
    }

    std::string portText() { return std::to_string(port()); }

    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    SteadyClock clock;
    AsioUdpListener udp{context};
    CountingListener counting{udp};
    MemorySettingsStore settings;
    FakeKeyboard keyboard;
    FakeGamepads gamepads;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    std::shared_ptr<HostServer> server;
    std::thread thread;
    std::mutex mutex;
    std::vector<HostEvent> events;
    std::filesystem::path dir;
};

TEST_F(Loopback, PhonePairsPlaysFeelsRumbleAndSaysGoodbye) {
    auto pairing = phone({"pair", "127.0.0.1", portText(), "--pin", pin()});
    ASSERT_TRUE(waitFor([&] { return pairing.poll(); }, 30s)) << pairing.text;
    EXPECT_EQ(pairing.exitCode, 0) << pairing.text;
    EXPECT_NE(pairing.text.find("welcome status=accepted"), std::string::npos) << pairing.text;
    EXPECT_NE(pairing.text.find("player=1 host=\"Loopback Host\""), std::string::npos);

    // Trusted now: the second run sends no PIN.
    std::ofstream(dir / "script") << "press south\nwait 1\nrelease south\nping\nwait 5\n";
    auto play = phone({"play", "127.0.0.1", portText(), "--script", (dir / "script").string()});
    auto southHeld = [&] {
        return onServer([&] {
            for (const auto& [device, state] : keyboard.states) {
                if (state.buttons.contains(ControllerButton::south)) {
                    return true;
                }
            }
            return false;
        });
    };
    auto seen = [&](int phase) {
        return [&, phase] { return play.poll() || southHeld() == (phase == 0); };
    };
    ASSERT_TRUE(waitFor(seen(0))) << play.text;
    ASSERT_TRUE(waitFor(seen(1))) << play.text;
    ASSERT_FALSE(play.done) << play.text;

    int before = counting.rumbles;
    server->setAudioRumble({0.5f, 0.2f});
    ASSERT_TRUE(waitFor([&] { return play.poll() || counting.rumbles >= before + 3; }));
    server->setAudioRumble({0.0f, 0.0f});
    int rumbling = counting.rumbles;
    EXPECT_TRUE(waitFor([&] { return play.poll() || counting.rumbles > rumbling; }));
    EXPECT_FALSE(play.done) << "the script ended before the rumble was over";

    if (!waitFor([&] { return play.poll(); }, 30s)) {
        play.kill();
        FAIL() << "jolto-phone did not finish:\n" << play.text;
    }
    EXPECT_EQ(play.exitCode, 0) << play.text;
    EXPECT_NE(play.text.find("welcome status=accepted"), std::string::npos) << play.text;
    EXPECT_NE(play.text.find("pong rtt_us="), std::string::npos) << play.text;
    EXPECT_GE(occurrences(play.text, "rumble low=128 high=51 duration=200\n"), 3u) << play.text;
    auto closing = play.text.rfind("rumble low=0 high=0 duration=200\n");
    ASSERT_NE(closing, std::string::npos) << play.text;
    EXPECT_GT(closing, play.text.rfind("rumble low=128")) << "the closing packet comes last";

    // The goodbye removed the phone: its input is released and the list empties.
    EXPECT_TRUE(waitFor([&] {
        auto all = eventsSoFar();
        for (auto e = all.rbegin(); e != all.rend(); ++e) {
            if (auto c = e->get<HostEvent::Clients>()) {
                return c->clients.empty();
            }
        }
        return false;
    }));
    EXPECT_EQ(onServer([&] { return keyboard.removed.size(); }), 2u) << "pair and play each left";

    bool sawSouth = false;
    bool sawTrusted = false;
    for (const auto& e : eventsSoFar()) {
        if (auto c = e.get<HostEvent::Clients>(); c && !c->clients.empty()) {
            EXPECT_EQ(c->clients[0].name, "Loopback phone");
            EXPECT_EQ(c->clients[0].playerNumber, 1);
            sawSouth |= c->clients[0].state.buttons.contains(ControllerButton::south);
        }
        if (auto t = e.get<HostEvent::Trusted>(); t && !t->devices.empty()) {
            sawTrusted |= t->devices[0].name == "Loopback phone";
        }
    }
    EXPECT_TRUE(sawSouth) << "the held button was published";
    EXPECT_TRUE(sawTrusted);
    int joined = 0;
    for (const auto& line : log->lines("Server")) {
        joined += line.message == "Controller Loopback phone joined as player 1";
    }
    EXPECT_EQ(joined, 2);
}

} // namespace
