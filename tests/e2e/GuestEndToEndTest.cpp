// The whole program in the test guest (tests/kernel/run-in-guest.sh): jolto-host --headless and
// jolto-phone on loopback, paired with the PIN the host prints; what the host makes of the
// phone's play is read back from evdev, and a game's rumble comes from SDL2.

#include "GuestSupport.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace jolto::guest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A program under test writing to the files `stem`.out and .err. Its output lines are stamped
// with the time the test first saw them; the program is killed and reaped when the object goes.
struct Child {
    struct Line {
        std::string text;
        Clock::time_point readAt;
    };

    static std::unique_ptr<Child> start(std::vector<std::string> argv, const std::string& stem) {
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const int flags = O_WRONLY | O_CREAT | O_TRUNC;
        posix_spawn_file_actions_addopen(&actions, 1, (stem + ".out").c_str(), flags, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (stem + ".err").c_str(), flags, 0644);
        pid_t pid = 0;
        const int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error == 0)
            return std::unique_ptr<Child>(new Child{{}, 0, pid, stem, {}});
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
        return nullptr;
    }

    ~Child() {
        if (running()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // Takes in the lines the program has finished writing.
    void read() {
        std::ifstream out(stem + ".out");
        out.seekg(static_cast<std::streamoff>(taken));
        for (std::string line; std::getline(out, line) && !out.eof(); taken += line.size() + 1)
            lines.push_back({line, Clock::now()});
    }

    // The first line that starts with `prefix`, reading until `deadline` or the program's end.
    std::optional<std::string> waitFor(const std::string& prefix, Clock::time_point deadline) {
        std::size_t from = 0;
        for (bool last = false;; std::this_thread::sleep_for(20ms)) {
            last = Clock::now() >= deadline || !running();
            read();
            for (; from < lines.size(); ++from)
                if (lines[from].text.rfind(prefix, 0) == 0)
                    return lines[from].text;
            if (last)
                return std::nullopt;
        }
    }

    bool running() {
        int status = 0;
        if (!exitStatus && ::waitpid(pid, &status, WNOHANG) == pid)
            exitStatus = status;
        return !exitStatus;
    }

    // The exit code (-1 for a signal), or nothing if the program still runs at `deadline`.
    std::optional<int> waitForExit(Clock::time_point deadline) {
        for (; running(); std::this_thread::sleep_for(20ms))
            if (Clock::now() >= deadline)
                return std::nullopt;
        read();
        return WIFEXITED(*exitStatus) ? WEXITSTATUS(*exitStatus) : -1;
    }

    // SIGTERM; nothing if the program has not ended within ten seconds.
    std::optional<int> stop() {
        if (running())
            ::kill(pid, SIGTERM);
        return waitForExit(Clock::now() + 10s);
    }

    std::string transcript() const {
        std::ostringstream text;
        text << "--- " << stem << ".out:\n"
             << std::ifstream(stem + ".out").rdbuf() << "--- " << stem << ".err:\n"
             << std::ifstream(stem + ".err").rdbuf();
        return text.str();
    }

    std::vector<Line> lines;
    std::size_t taken; // bytes of the output file in `lines`
    pid_t pid;
    std::string stem;
    std::optional<int> exitStatus;
};

// Each test runs jolto-host --headless in the output mode it needs, with a settings, runtime
// and home folder of its own.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { JOLTO_REQUIRE_GUEST(); }
    void TearDown() override {
        if (host_ && host_->running()) {
            EXPECT_EQ(host_->stop(), 0) << host_->transcript();
        }
        host_.reset();
        if (!folder_.empty())
            fs::remove_all(folder_);
    }

    // Starts the host and waits for its port and first PIN; what went wrong, if anything.
    std::string startHost(const std::string& mode) {
        folder_ =
            fs::temp_directory_path() / ("jolto-e2e-" + mode + "-" + std::to_string(getpid()));
        fs::create_directories(folder_ / "config" / "jolto-host");
        fs::create_directories(folder_ / "runtime");
        fs::permissions(folder_ / "runtime", fs::perms::owner_all);
        std::ofstream(folder_ / "config" / "jolto-host" / "settings.json")
            << R"({"outputMode": ")" << mode << R"(", "rumbleFromAudio": false})";
        setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (folder_ / "runtime").c_str(), 1);
        setenv("HOME", folder_.c_str(), 1);
        host_ = Child::start({JOLTO_HOST_PROGRAM, "--headless"}, folder_ / "host");
        // Starting a Qt program under software emulation takes a while.
        const auto ready =
            host_ ? host_->waitFor("listener ready port=", Clock::now() + 60s) : std::nullopt;
        const auto shown = ready ? host_->waitFor("pin ", Clock::now() + 60s) : std::nullopt;
        if (!shown)
            return "the host did not report its port and PIN\n" +
                   (host_ ? host_->transcript() : "");
        port_ = ready->substr(ready->find('=') + 1);
        pin_ = shown->substr(4);
        return "";
    }

    // A new phone that pairs with the host's first PIN and plays `script`.
    std::unique_ptr<Child> play(const std::string& script) {
        std::ofstream(folder_ / "phone.script") << script;
        return Child::start({JOLTO_PHONE_PROGRAM, "play", "127.0.0.1", port_, "--script",
                             (folder_ / "phone.script").string(), "--pin", pin_, "--identity",
                             (folder_ / "phone.json").string(), "--name", "phone1", "--timeout",
                             "30"},
                            folder_ / "phone");
    }

    fs::path folder_;
    std::unique_ptr<Child> host_;
    std::string port_, pin_;
};

TEST_F(EndToEnd, ShooterPresetKeysPointerAndEveryEdgeInOrder) {
    ASSERT_EQ(startHost("keyboardMouse"), "");
    auto node = openEventNode("JOLTO Host Keyboard and Mouse", Clock::now() + 30s);
    ASSERT_TRUE(node) << host_->transcript();
    const int fd = node->first.get();
    // South → Space; the left stick → W, A, S, D, each released before the next goes down; the
    // right trigger → the left mouse button; then Space tapped 250 times.
    std::string script =
        "press south\nwait 0.25\nrelease south\nwait 0.25\n"
        "left 0 1\nwait 0.25\nleft -1 0\nwait 0.25\n"
        "left 0 -1\nwait 0.25\nleft 1 0\nwait 0.25\nneutral\nwait 0.25\n"
        "press rightTrigger\nrt 1\nwait 0.25\nrelease rightTrigger\nrt 0\nwait 0.25\n"
        "right 1 0\nwait 0.4\nright 0 0\nwait 0.25\n";
    std::string expected;
    for (int code : {KEY_SPACE, KEY_W, KEY_A, KEY_S, KEY_D, BTN_LEFT})
        expected += std::to_string(code) + "+ " + std::to_string(code) + "- ";
    for (int i = 0; i < 250; ++i) {
        script += "press south\nwait 0.03\nrelease south\nwait 0.03\n";
        expected += std::to_string(KEY_SPACE) + "+ " + std::to_string(KEY_SPACE) + "- ";
    }
    auto phone = play(script);
    ASSERT_TRUE(phone);
    std::vector<input_event> events;
    for (const auto until = Clock::now() + 120s; phone->running() && Clock::now() < until;)
        readEvents(fd, events, Clock::now() + 20ms);
    EXPECT_EQ(phone->waitForExit(Clock::now()), 0) << phone->transcript();
    // The goodbye's release, if any, follows the phone's exit.
    readEvents(fd, events, Clock::now() + 300ms);
    // The right stick held right 0.4 s at the preset's 1400 points a second moves the pointer
    // right only; loose bounds, as load stretches the time the host sees the stick held.
    std::string keys;
    std::int64_t dx = 0, dy = 0;
    for (const auto& e : events) {
        keys += e.type == EV_KEY ? std::to_string(e.code) + (e.value ? "+ " : "- ") : "";
        dx += e.type == EV_REL && e.code == REL_X ? e.value : 0;
        dy += e.type == EV_REL && e.code == REL_Y ? e.value : 0;
    }
    EXPECT_EQ(keys, expected) << "(Space 57, W 17, A 30, S 31, D 32, left button 272)";
    EXPECT_GT(dx, 50);
    EXPECT_LT(dx, 2800);
    EXPECT_EQ(dy, 0);
}

TEST_F(EndToEnd, PressesReachControllerOneAndSdlRumbleReachesThePhone) {
    ASSERT_EQ(startHost("gamepad"), "");
    std::string script;
    for (int i = 0; i < 300; ++i)
        script += "press south\nwait 0.2\nrelease south\nwait 0.2\n";
    auto phone = play(script);
    ASSERT_TRUE(phone);
    // Only an accepted phone as player 1 makes this node.
    auto node = openEventNode("JOLTO Controller 1", Clock::now() + 60s);
    ASSERT_TRUE(node) << host_->transcript() << phone->transcript();
    std::vector<input_event> events;
    const int fd = node->first.get();
    ASSERT_TRUE(awaitKey(fd, events, BTN_SOUTH, 1, Clock::now() + 30s)) << "no BTN_SOUTH press";
    EXPECT_TRUE(awaitKey(fd, events, BTN_SOUTH, 0, Clock::now() + 30s)) << "no release";

    // Full strong motor, a quarter weak one, 0.5 s: SDL ends it itself from its event pump, and
    // the phone then gets one closing (0, 0) packet.
    const int index = startSdl("JOLTO Controller 1");
    ASSERT_GE(index, 0) << "SDL does not list JOLTO Controller 1";
    SDL_GameController* pad = SDL_GameControllerOpen(index);
    ASSERT_NE(pad, nullptr) << SDL_GetError();
    phone->read();
    const std::size_t before = phone->lines.size();
    ASSERT_EQ(SDL_GameControllerRumble(pad, 0xFFFF, 0x4000, 500), 0) << SDL_GetError();
    for (auto until = Clock::now() + 1500ms; Clock::now() < until; SDL_Delay(5)) {
        SDL_GameControllerUpdate();
        phone->read();
    }
    SDL_GameControllerClose(pad);
    SDL_Quit();
    std::this_thread::sleep_for(500ms);
    phone->read();

    std::vector<const Child::Line*> rumble;
    for (std::size_t i = before; i < phone->lines.size(); ++i)
        if (phone->lines[i].text.rfind("rumble ", 0) == 0)
            rumble.push_back(&phone->lines[i]);
    ASSERT_GE(rumble.size(), 3u) << phone->transcript();
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    std::vector<double> gaps;
    for (std::size_t i = 0; i + 1 < rumble.size(); ++i) {
        EXPECT_EQ(rumble[i]->text, "rumble low=255 high=64 duration=200") << "packet " << i;
        if (i > 0)
            gaps.push_back(ms(rumble[i]->readAt - rumble[i - 1]->readAt));
    }
    EXPECT_EQ(rumble.back()->text, "rumble low=0 high=0 duration=200")
        << "the last packet, and the only closing one";
    // A packet every 33 ms for about half a second; each asks for 200 ms, so fewer than five
    // a second would let the phone stop early.
    const double lasted = ms(rumble.back()->readAt - rumble[0]->readAt);
    EXPECT_GT(lasted, 400.0);
    EXPECT_LT(lasted, 800.0);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_GT(gaps[gaps.size() / 2], 15.0) << "median interval";
    EXPECT_LT(gaps[gaps.size() / 2], 100.0) << "median interval";

    EXPECT_EQ(phone->stop(), 0) << phone->transcript();
    EXPECT_TRUE(waitUntilGone("JOLTO Controller 1")) << "the gamepad outlived its phone";
}

} // namespace
} // namespace jolto::guest
