// The server with its UDP and WebSocket transports on loopback, its context on its own thread
// as in the program, the real keyboard output logic on a recording sink. The browser is
// Python's `websockets` (pairing, trust, input to key events, ping, rumble, and the refusals:
// foreign origin, oversized message, a flood of idle connections), then Debian's Chromium on
// the built-in page, driven over the DevTools protocol.

#include <cmath>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "fakes/FakePointerDisplay.h"
#include "fakes/HostServerHarness.h"
#include "fakes/RecordingInputSink.h"
#include "output/KeyboardMouseOutput.h"
#include "output/KeyboardMouseOutputTarget.h"
#include "platform/linux/AsioUdpListener.h"
#include "platform/linux/PageAddress.h"
#include "platform/linux/WebSocketListener.h"
#include "server/Asio.h"
#include "server/TransportMux.h"

extern char** environ;

using namespace jolto;
using namespace jolto::testing;
using namespace std::chrono_literals;

namespace {

// Runs a program to its end and returns what it printed; empty when it could not start.
std::string run(std::vector<std::string> args, int& exitCode) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    if (spawned == 0) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::close(out[0]);
    return text;
}

// Keeps every state the server routes, then hands it to the real output.
class StateLog final : public KeyboardMouseTarget {
public:
    explicit StateLog(KeyboardMouseTarget& inner) : inner_(inner) {}
    void setMapping(const KeyMapping& m) override { inner_.setMapping(m); }
    void update(const Uuid& device, const ControllerState& state) override {
        states.push_back(state);
        inner_.update(device, state);
    }
    void remove(const Uuid& device) override { inner_.remove(device); }
    void removeAllClients() override { inner_.removeAllClients(); }
    bool needsMotion() const override { return inner_.needsMotion(); }
    void step(double elapsed) override { inner_.step(elapsed); }

    std::vector<ControllerState> states;

private:
    KeyboardMouseTarget& inner_;
};

bool hasPython() {
    int exitCode = -1;
    run({"/usr/bin/python3", "-c", "import websockets"}, exitCode);
    return exitCode == 0;
}

class WebLoopback : public ::testing::Test {
protected:
    template <typename F> auto onServer(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(context, [&task] { task(); });
        return result.get();
    }

    void SetUp() override {
        setLogSink(log);
        keyboard.setMapping(KeyMapping::shooter());
        server = HostServer::create(
            "Web Host",
            HostServer::Ports{
                context, clock, mux, nullptr, settings, stateLog, gamepads, true, nullptr, {}});
        mux.onStateChanged([this](std::size_t, const ListenerState& s) {
            if (s.kind == ListenerState::Kind::ready) {
                webPort.set_value(s.port);
            }
        });
        thread = std::thread([this] { context.run(); });
        server->start(OutputMode::keyboardMouse, KeyMapping::shooter(),
                      [this](const HostEvent& event) {
                          std::lock_guard lock(mutex);
                          if (auto p = event.get<HostEvent::Pin>()) {
                              pin = p->pin;
                          }
                      });
    }

    void TearDown() override {
        onServer([this] { server.reset(); });
        work.reset();
        thread.join();
        setLogSink(nullptr);
    }

    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    SteadyClock clock;
    AsioUdpListener udp{context};
    WebSocketListener web{context};
    TransportMux mux{{&udp, &web}};
    MemorySettingsStore settings;
    RecordingInputSink sink;
    FakePointerDisplay display;
    KeyboardMouseOutput keyboard{sink, display};
    KeyboardMouseOutputTarget target{keyboard};
    StateLog stateLog{target};
    FakeGamepads gamepads;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    std::shared_ptr<HostServer> server;
    std::thread thread;
    std::mutex mutex;
    std::string pin;
    std::promise<std::uint16_t> webPort;
};

TEST_F(WebLoopback, BrowserPairsPlaysAndIsBoundedLikeAPhone) {
    auto portFuture = webPort.get_future();
    ASSERT_EQ(portFuture.wait_for(10s), std::future_status::ready) << "the page never opened";
    const auto port = portFuture.get();
    // Audio rumble is on from the start, so every welcomed client gets rumble packets.
    server->setAudioRumble(RumbleLevels{0.8f, 0.4f});
    std::string currentPIN;
    {
        std::lock_guard lock(mutex);
        currentPIN = pin;
    }
    ASSERT_EQ(currentPIN.size(), 4u);

    // Debian's interpreter, which has Debian's python3-websockets.
    if (!hasPython()) {
        if (std::getenv("CI")) {
            FAIL() << "python3-websockets is not installed";
        }
        GTEST_SKIP() << "python3-websockets is not installed (scripts/setup.sh installs it)";
    }
    int exitCode = -1;
    auto output =
        run({"/usr/bin/python3", JOLTO_WS_CLIENT, std::to_string(port), currentPIN}, exitCode);
    EXPECT_EQ(exitCode, 0) << output;
    for (const char* line : {
             "hello without pin status=1",
             "paired status=0 player=1",
             "pong echoed=True",
             "rumble session=True low=204 high=102",
             "trusted status=0 player=1",
             "foreign origin refused status=403",
             "oversized closed code=1009",
             "get / 200",
             "get /controller.js 200",
             "get /nothing 404",
             "get /../etc/passwd 404",
             "slow headers closed_at_deadline=True",
             "idle open=16",
             "during flood status=0 in_time=True",
         }) {
        EXPECT_NE(output.find(std::string(line) + "\n"), std::string::npos)
            << "missing \"" << line << "\" in:\n"
            << output;
    }

    // The browser's south button became Space in the shooter mapping, and was let go again.
    auto events = onServer([this] { return sink.events; });
    auto space = [&](InputEventSink::EventType type) {
        return std::count_if(events.begin(), events.end(),
                             [&](const auto& e) { return e.type == type && e.keyCode == 49; });
    };
    EXPECT_EQ(space(InputEventSink::EventType::keyDown), 1);
    EXPECT_EQ(space(InputEventSink::EventType::keyUp), 1);
    // The flood left nothing behind: its connections are gone or about to be, none welcomed.
    EXPECT_LE(onServer([this] { return web.pendingCount(); }), WebSocketListener::maxPending);
}

TEST_F(WebLoopback, ChromiumPairsOnThePageAndItsTouchesArriveAsStates) {
    if (!hasPython() || ::access("/usr/bin/chromium", X_OK) != 0) {
        if (std::getenv("CI")) {
            FAIL() << "chromium or python3-websockets is not installed";
        }
        GTEST_SKIP() << "needs Debian's chromium and python3-websockets (scripts/setup.sh)";
    }
    auto portFuture = webPort.get_future();
    ASSERT_EQ(portFuture.wait_for(10s), std::future_status::ready) << "the page never opened";
    const auto port = portFuture.get();
    server->setAudioRumble(RumbleLevels{0.6f, 0.2f});
    std::string currentPIN;
    {
        std::lock_guard lock(mutex);
        currentPIN = pin;
    }
    // The computer's own network address, as a phone opens it: not a secure context.
    const std::string url = pageAddress(port);
    const char* dir = std::getenv("JOLTO_SCREENSHOT_DIR");
    const std::string shots = dir ? dir : JOLTO_BINARY_DIR "/web-screenshots";
    ::mkdir(shots.c_str(), 0755);
    int exitCode = -1;
    auto output = run({"/usr/bin/python3", JOLTO_BROWSER_CLIENT, url, currentPIN, shots}, exitCode);
    ASSERT_EQ(exitCode, 0) << output;
    EXPECT_EQ(output.find("console error"), std::string::npos) << output;
    for (const char* line : {"pin dialog True", "paired True", "trusted after reload True"}) {
        EXPECT_NE(output.find(std::string(line) + "\n"), std::string::npos)
            << "missing \"" << line << "\" in:\n"
            << output;
    }
    if (url.find("127.0.0.1") == std::string::npos) {
        EXPECT_NE(output.find("secure=False notice=Gyro aim isn't available"), std::string::npos)
            << output;
    }

    using B = ControllerButton;
    auto states = onServer([this] { return stateLog.states; });
    auto seen = [&](auto&& predicate) {
        return std::any_of(states.begin(), states.end(), predicate);
    };
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
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), ControllerState{}) << "everything let go at the end";
}

} // namespace
