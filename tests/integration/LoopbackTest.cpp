// The server on real loopback sockets, its context on its own thread as in the program, with real
// clients: the jolto-phone simulator, Python's `websockets` and Chromium over DevTools.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "server/Asio.h"

#include "fakes/OutputFakes.h"
#include "platform/linux/AsioUdpListener.h"
#include "platform/linux/PageAddress.h"
#include "platform/linux/WebSocketListener.h"
#include "server/TransportMux.h"

extern char** environ;

using namespace jolto;
using namespace jolto::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

// A program with its standard output in a file; killed if it outlives this.
class Child {
public:
    Child(std::string output, std::vector<std::string> args) : output_(std::move(output)) {
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        done = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0;
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_FALSE(done) << "couldn't start " << args[0];
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!done) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // Reads what it printed so far; true once it has ended.
    bool poll() {
        int status = 0;
        if (!done && ::waitpid(pid, &status, WNOHANG) == pid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            done = true;
        }
        text.assign(std::istreambuf_iterator<char>(std::ifstream(output_).rdbuf()), {});
        return done;
    }
    void wait(std::chrono::milliseconds limit = 40s) {
        EXPECT_TRUE(waitFor([this] { return poll(); }, limit)) << "did not finish:\n" << text;
    }
    std::size_t count(const std::string& what) const {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    pid_t pid = -1;
    std::string text;
    int exitCode = -1;
    bool done = true;

private:
    std::string output_;
};

// Passes everything on, keeping each packet the server hears.
class RecordingListener final : public UdpListener {
public:
    explicit RecordingListener(UdpListener& inner) : inner_(inner) {}
    std::string start(UdpListenerHandler handler) override {
        handler.datagram = [this, forward = std::move(handler.datagram)](
                               ConnectionId c, std::span<const std::uint8_t> bytes, Instant at) {
            if (auto packet = decode(bytes)) {
                std::lock_guard lock(mutex_);
                heard_.push_back(*packet);
            }
            forward(c, bytes, at);
        };
        return inner_.start(std::move(handler));
    }
    void cancel() override { inner_.cancel(); }
    void send(ConnectionId c, std::span<const std::uint8_t> bytes) override {
        inner_.send(c, bytes);
    }
    void close(ConnectionId c) override { inner_.close(c); }
    std::string describe(ConnectionId c) const override { return inner_.describe(c); }

    template <typename T> std::vector<T> heard() {
        std::lock_guard lock(mutex_);
        return only<T>(heard_);
    }

private:
    UdpListener& inner_;
    std::mutex mutex_;
    std::vector<Packet> heard_;
};

// The server named `Loopback "Host"`, its PIN always 1234, in keyboard mode on a fake keyboard.
class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("jolto-loopback-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        mux.onStateChanged([this](std::size_t, const ListenerState& s) { webPort = s.port; });
        server = HostServer::create("Loopback \"Host\"",
                                    {context, clock, recorder, nullptr, settings, keyboard,
                                     gamepads, true, nullptr, [] { return std::uint16_t{1234}; }});
        thread = std::thread([this] { context.run(); });
        server->start(OutputMode::keyboardMouse, KeyMapping::shooter(), [this](const HostEvent& e) {
            if (auto l = e.get<HostEvent::Listener>()) {
                port = l->state.port;
            }
        });
        ASSERT_TRUE(waitFor([this] { return port != 0 && webPort != 0; }));
    }

    template <typename F> auto onServer(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(context, [&task] { task(); });
        return result.get();
    }

    void TearDown() override {
        // The listeners belong to the server's context; they are stopped there.
        onServer([this] { server.reset(); });
        work.reset();
        thread.join();
        std::filesystem::remove_all(dir);
    }

    // Every state routed to the keyboard, in order.
    std::vector<ControllerState> routed() {
        return onServer([this] {
            std::vector<ControllerState> all;
            for (const auto& u : keyboard.updates) {
                all.push_back(u.second);
            }
            return all;
        });
    }
    bool removed(std::size_t phones) {
        return waitFor([&] { return onServer([&] { return keyboard.removed.size(); }) == phones; },
                       10s);
    }

    // COMMAND 127.0.0.1 PORT with this test's identity, then `options`.
    std::vector<std::string> to(std::string command, std::vector<std::string> options,
                                std::uint16_t at = 0) {
        const auto identity = (dir / "identity.json").string();
        const auto target = std::to_string(at ? at : port.load());
        options.insert(options.begin(), {command, "127.0.0.1", target, "--identity", identity});
        return options;
    }
    // Its output goes to the test's folder, removed with it.
    Child child(std::vector<std::string> args) {
        return Child((dir / ("child-" + std::to_string(children++))).string(), std::move(args));
    }
    Child phone(std::vector<std::string> args) {
        args.insert(args.begin(), JOLTO_PHONE_PROGRAM);
        return child(std::move(args));
    }

    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    SteadyClock clock;
    AsioUdpListener udp{context};
    WebSocketListener web{context};
    TransportMux mux{{&udp, &web}};
    RecordingListener recorder{mux};
    MemorySettingsStore settings;
    FakeKeyboard keyboard;
    FakeGamepads gamepads;
    std::shared_ptr<HostServer> server;
    std::thread thread;
    std::atomic<std::uint16_t> port{0};
    std::atomic<std::uint16_t> webPort{0};
    std::filesystem::path dir;
    int children = 0;
};

const std::string hostName = "host=\"Loopback \\\"Host\\\"\"";

long long micros(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

TEST_F(Loopback, PairedPhoneIsTrustedNextTimePlaysItsScriptFeelsRumbleAndLeaves) {
    auto paired = phone(to("pair", {"--pin", "1234", "--name", "Loopback phone"}));
    paired.wait();
    EXPECT_EQ(paired.exitCode, 0);
    EXPECT_THAT(paired.text, HasSubstr(" player=1 " + hostName + "\n"));

    // Trusted now, so no PIN. The script's last wait outlasts the test: only keepalives go out
    // until the phone has felt the rumble start and stop, and then an interrupt ends it.
    std::ofstream(dir / "script") << "press south\nwait 0.5\nrelease south\nat 0.7 left 0 1\n"
                                     "rt 1\nping\nwait 600   # unchanged\n";
    const auto started = micros(std::chrono::steady_clock::now());
    auto play = phone(
        to("play", {"--script", (dir / "script").string(), "--trace", "--name", "Loopback phone"}));
    ASSERT_TRUE(waitFor([&] { return play.poll() || play.count("welcome status=accepted"); }));
    server->setAudioRumble({0.5f, 0.2f});
    const std::string rumbling = "rumble low=128 high=51 duration=200\n";
    EXPECT_TRUE(waitFor([&] { return play.poll() || play.count(rumbling) >= 3; }, 60s));
    server->setAudioRumble({0.0f, 0.0f});
    const std::string closing = "rumble low=0 high=0 duration=200\n";
    EXPECT_TRUE(waitFor(
        [&] {
            return play.poll() || (play.count(closing) && play.count("pong rtt_us=") &&
                                   recorder.heard<Packet::State>().size() > 30);
        },
        60s));
    ASSERT_FALSE(play.done) << "the script ended early:\n" << play.text;
    ::kill(play.pid, SIGINT);
    play.wait();
    EXPECT_EQ(play.exitCode, 0) << "an interrupt is a normal end";
    EXPECT_GT(play.text.rfind(closing), play.text.rfind(rumbling)) << "the closing one comes last";

    // The trace has every state the server heard, stamped in order on this machine's clock.
    const auto states = recorder.heard<Packet::State>();
    std::istringstream lines(play.text);
    std::size_t traced = 0;
    long long previous = started;
    for (std::string line; std::getline(lines, line);) {
        unsigned sequence = 0, buttons = 0;
        long long sent = 0;
        if (std::sscanf(line.c_str(), "state seq=%u buttons=0x%x sent_us=%lld", &sequence, &buttons,
                        &sent) == 3) {
            ASSERT_LT(traced, states.size());
            EXPECT_EQ(sequence, states[traced].sequence);
            EXPECT_EQ(buttons, states[traced++].state.buttons.rawValue());
            EXPECT_GE(sent, previous);
            // The host counts a phone silent for a second as gone.
            EXPECT_TRUE(traced == 1 || sent - previous < 1'000'000) << line;
            previous = sent;
        }
    }
    EXPECT_EQ(traced, states.size());
    EXPECT_LE(previous, micros(std::chrono::steady_clock::now()));

    // Each run joins neutral; the server took each change once, in a fresh session with newer
    // sequence numbers, and the keepalives kept the phone from going stale.
    ControllerState south = pressing(ControllerButton::south), stick, trigger;
    stick.leftStick = {0, 1};
    trigger = stick;
    trigger.rightTrigger = 1;
    EXPECT_EQ(routed(), (std::vector<ControllerState>{{}, {}, south, {}, stick, trigger}));
    EXPECT_TRUE(removed(2)) << "each run's goodbye, the interrupted one's too, lets go of it";
    for (const auto& hello : recorder.heard<Packet::Hello>()) {
        EXPECT_EQ(hello.name, "Loopback phone");
    }
}

// Each run that ends by itself: its exit code and the line saying why. The PIN is right only
// in the last.
TEST_F(Loopback, EachRunEndsWithItsExitCode) {
    asio::io_context other;
    asio::ip::udp::socket closed(other, {asio::ip::make_address("127.0.0.1"), 0});
    const std::uint16_t nobody = closed.local_endpoint().port();
    closed.close();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string line;
    };
    const Case cases[] = {
        {to("play", {"--rate", "10"}), 3,
         "welcome status=pinRequired session=0 player=0 " + hostName},
        {to("pair", {"--pin", "0042"}), 3,
         "welcome status=pinIncorrect session=0 player=0 " + hostName},
        {to("ping", {"--timeout", "0.6"}, nobody), 4, ""}, // hellos go unanswered
        {{"pair", "127.0.0.1", "1"}, 1, ""},               // no --pin
        {{"play", "127.0.0.1", "70000", "--rate", "5"}, 1, ""},
        {{"fly"}, 1, ""},
        {to("ping", {"--pin", "1234", "--count", "3", "--interval", "0.05"}), 0,
         "ping sent=3 received=3 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        auto run = phone(c.args);
        run.wait();
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_THAT(run.text, HasSubstr(c.line));
    }
}

// Debian's interpreter with Debian's python3-websockets, and for the browser test Debian's
// Chromium. Without them the test is skipped with the reason, or fails under CI=true.
class WebLoopback : public Loopback {
protected:
    void SetUp() override {
        Loopback::SetUp();
        Child probe = child({"/usr/bin/python3", "-c", "import websockets"});
        probe.wait();
        require(probe.exitCode == 0, "python3-websockets");
    }
    void require(bool installed, const char* what) {
        if (!installed) {
            ASSERT_EQ(std::getenv("CI"), nullptr) << what << " is not installed";
            GTEST_SKIP() << what << " is not installed (scripts/setup.sh installs it)";
        }
    }
};

TEST_F(WebLoopback, PythonPairsPlaysAndIsBoundedLikeAPhone) {
    // Audio rumble is on from the start, so every welcomed client gets rumble packets.
    server->setAudioRumble({0.8f, 0.4f});
    Child client =
        child({"/usr/bin/python3", JOLTO_WEB_CLIENT, "phone", std::to_string(webPort), "1234"});
    client.wait(60s);
    EXPECT_EQ(client.exitCode, 0);
    EXPECT_EQ(client.text, "paired status=0 player=1\n"
                           "pong echoed=True\n"
                           "rumble session=True low=204 high=102\n"
                           "foreign origin refused status=403\n"
                           "oversized closed code=1009\n"
                           "get / 200\n"
                           "get /nothing 404\n"
                           "get /../etc/passwd 404\n"
                           "slow headers closed_at_deadline=True\n"
                           "idle open=16\n"
                           "during flood status=0 in_time=True\n");
    // South held over four states and let go: one press, one release; both joins start neutral.
    const auto south = pressing(ControllerButton::south);
    EXPECT_EQ(routed(), (std::vector<ControllerState>{{}, south, {}, {}}));
    // The flood left nothing behind: its connections are gone or about to be, none welcomed.
    EXPECT_LE(onServer([this] { return web.pendingCount(); }), WebSocketListener::maxPending);
}

TEST_F(WebLoopback, ChromiumPairsOnThePageAndItsTouchesArriveAsStates) {
    require(::access("/usr/bin/chromium", X_OK) == 0, "chromium");
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    server->setAudioRumble({0.6f, 0.2f});
    // The computer's own network address, as a phone opens it: not a secure context.
    const std::string url = pageAddress(webPort);
    Child browser = child({"/usr/bin/python3", JOLTO_WEB_CLIENT, "browser", url, "1234"});
    browser.wait(90s);
    EXPECT_EQ(browser.exitCode, 0);
    const std::string insecure = "insecure, notice: Gyro aim isn't available: browsers give motion "
                                 "sensors only to secure (https) pages. Everything else works.\n";
    EXPECT_EQ(browser.text, "pin dialog True\n" +
                                (url.find("127.0.0.1") == std::string::npos ? insecure : "") +
                                "paired True\ntrusted after reload True\n");

    using B = ControllerButton;
    const auto all = routed();
    const auto seen = [&](auto&& predicate) { return std::ranges::any_of(all, predicate); };
    EXPECT_TRUE(seen([](const ControllerState& s) { return s.buttons == ButtonSet{B::south}; }))
        << "A alone";
    EXPECT_TRUE(seen([](const ControllerState& s) {
        return s.leftStick.x > 0.9f && std::abs(s.leftStick.y) < 0.1f && s.rightStick.y > 0.9f &&
               std::abs(s.rightStick.x) < 0.1f && s.buttons.empty();
    })) << "both sticks at once: left to the right, right forward";
    EXPECT_TRUE(seen([](const ControllerState& s) {
        return s.rightTrigger > 0.9f && s.buttons == ButtonSet{B::rightTrigger};
    })) << "the right trigger pulled fully";
    EXPECT_TRUE(seen([](const ControllerState& s) {
        return s.buttons == ButtonSet{B::leftShoulder, B::dpadUp};
    })) << "LB with d-pad up";
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), ControllerState{}) << "everything let go at the end";
}

} // namespace
