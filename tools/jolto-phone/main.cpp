// jolto-phone: a command-line phone for tests, demos and benchmarks. It speaks the phone side
// of the protocol: hello with or without a PIN, states, pings and goodbye; it prints what the
// host sends as one line per packet so that scripts can read it.

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "server/Asio.h"

#include "PhoneIdentity.h"
#include "PhoneScript.h"
#include "ScriptPlayer.h"
#include "platform/linux/AvahiBrowser.h"
#include "protocol/Packet.h"

using namespace jolto;
using namespace std::chrono_literals;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* serviceType = "_zevctrl._udp";

enum ExitCode {
    ok = 0,
    usageError = 1,
    failure = 2,
    refused = 3,
    noAnswer = 4,
    pingsLost = 5,
    hostSaidGoodbye = 6,
};

const char* usage =
    "usage:\n"
    "  jolto-phone discover [--timeout S] [--first]\n"
    "  jolto-phone pair TARGET --pin NNNN [OPTIONS]\n"
    "  jolto-phone play TARGET [--script FILE | --rate HZ [--duration S]] [OPTIONS]\n"
    "  jolto-phone ping TARGET [--count N] [--interval S] [OPTIONS]\n"
    "\n"
    "TARGET is HOST PORT, or \"discover\" for the first host found on the network.\n"
    "OPTIONS:\n"
    "  --identity FILE     device id and secret (default "
    "$XDG_CONFIG_HOME/jolto-phone/identity.json)\n"
    "  --name NAME         the phone's name in the hello (default jolto-phone)\n"
    "  --pin NNNN          send the PIN with the hello\n"
    "  --timeout S         how long to wait for a welcome (default 5)\n"
    "  --wire-version V    put V in the version byte of everything sent (default 1)\n"
    "  --trace             print a line for every state sent, with its send time\n";

struct Options {
    std::string command;
    std::string host;
    std::string port;
    bool discoverHost = false;
    std::filesystem::path identity = PhoneIdentity::defaultPath();
    std::string name = "jolto-phone";
    std::optional<std::uint16_t> pin;
    double timeout = 5;
    std::optional<std::uint8_t> wireVersion;
    std::optional<std::string> scriptFile;
    double rate = 0;
    double duration = 0;
    int count = 5;
    double interval = 0.2;
    bool first = false;
    bool trace = false;
};

std::optional<double> parseSeconds(const std::string& text) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<long> parseInteger(const std::string& text, long low, long high) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// The options, or an error text for the usage message.
std::variant<Options, std::string> parseArguments(int argc, char** argv) {
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return std::string("no command given");
    }
    o.command = args[0];
    if (o.command != "discover" && o.command != "pair" && o.command != "play" &&
        o.command != "ping") {
        return "unknown command \"" + o.command + "\"";
    }
    std::vector<std::string> positional;
    bool timeoutGiven = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            positional.push_back(a);
            continue;
        }
        if (a == "--first") {
            o.first = true;
            continue;
        }
        if (a == "--trace") {
            o.trace = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            return a + " needs a value";
        }
        const std::string& v = args[++i];
        if (a == "--identity") {
            o.identity = v;
        } else if (a == "--name") {
            o.name = v;
        } else if (a == "--pin") {
            const auto pin = parseInteger(v, 0, 65534);
            if (!pin) {
                return std::string("--pin needs a number such as 0042");
            }
            o.pin = static_cast<std::uint16_t>(*pin);
        } else if (a == "--timeout") {
            const auto s = parseSeconds(v);
            if (!s) {
                return std::string("--timeout needs seconds");
            }
            o.timeout = *s;
            timeoutGiven = true;
        } else if (a == "--wire-version") {
            const auto n = parseInteger(v, 0, 255);
            if (!n) {
                return std::string("--wire-version needs a number from 0 to 255");
            }
            o.wireVersion = static_cast<std::uint8_t>(*n);
        } else if (a == "--script") {
            o.scriptFile = v;
        } else if (a == "--rate") {
            const auto s = parseSeconds(v);
            if (!s || *s <= 0 || *s > 10000) {
                return std::string("--rate needs a frequency in Hz, up to 10000");
            }
            o.rate = *s;
        } else if (a == "--duration") {
            const auto s = parseSeconds(v);
            if (!s) {
                return std::string("--duration needs seconds");
            }
            o.duration = *s;
        } else if (a == "--count") {
            const auto n = parseInteger(v, 1, 1000000);
            if (!n) {
                return std::string("--count needs a positive number");
            }
            o.count = static_cast<int>(*n);
        } else if (a == "--interval") {
            const auto s = parseSeconds(v);
            if (!s || *s <= 0) {
                return std::string("--interval needs seconds");
            }
            o.interval = *s;
        } else {
            return "unknown option " + a;
        }
    }
    if (o.command == "discover") {
        if (!timeoutGiven) {
            o.timeout = 3;
        }
        if (!positional.empty()) {
            return std::string("discover takes no host");
        }
        return o;
    }
    if (positional.size() == 1 && positional[0] == "discover") {
        o.discoverHost = true;
    } else if (positional.size() == 2) {
        o.host = positional[0];
        o.port = positional[1];
        if (!parseInteger(o.port, 1, 65535)) {
            return "\"" + o.port + "\" is not a port";
        }
    } else {
        return std::string("give the host as HOST PORT, or as discover");
    }
    if (o.command == "pair" && !o.pin) {
        return std::string("pair needs --pin");
    }
    if (o.command == "play" && o.scriptFile && o.rate > 0) {
        return std::string("give either --script or --rate, not both");
    }
    if (o.command == "play" && !o.scriptFile && o.rate <= 0) {
        return std::string("play needs --script FILE or --rate HZ");
    }
    return o;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

const char* statusName(WelcomeStatus status) {
    switch (status) {
    case WelcomeStatus::accepted:
        return "accepted";
    case WelcomeStatus::pinRequired:
        return "pinRequired";
    case WelcomeStatus::pinIncorrect:
        return "pinIncorrect";
    case WelcomeStatus::hostFull:
        return "hostFull";
    case WelcomeStatus::versionMismatch:
        return "versionMismatch";
    }
    return "unknown";
}

std::uint64_t microsecondsNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
}

void printService(const AvahiBrowser::Service& s) {
    std::printf("service name=%s address=%s port=%u host=%s\n", quoted(s.name).c_str(),
                s.address.c_str(), static_cast<unsigned>(s.port), quoted(s.hostName).c_str());
}

// One simulated phone talking to one host.
class Phone {
public:
    Phone(asio::io_context& io, Options options, PhoneIdentity identity,
          std::optional<PhoneScript> script)
        : io_(io), options_(std::move(options)), identity_(identity), script_(std::move(script)),
          socket_(io), helloTimer_(io), stepTimer_(io), keepaliveTimer_(io), pingTimer_(io),
          signals_(io, SIGINT, SIGTERM) {}

    int run(const udp::endpoint& host) {
        asio::error_code ec;
        socket_.open(host.protocol(), ec);
        if (!ec) {
            // Connected, so that only the host's datagrams arrive.
            socket_.connect(host, ec);
        }
        if (ec) {
            std::fprintf(stderr, "error: couldn't reach %s: %s\n", options_.host.c_str(),
                         ec.message().c_str());
            return failure;
        }
        signals_.async_wait([this](const asio::error_code& e, int) {
            if (!e) {
                finish(session_ != 0 ? ok : noAnswer);
            }
        });
        helloDeadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options_.timeout));
        receive();
        sendHello();
        io_.run();
        return exitCode_;
    }

private:
    void send(const Packet& packet) {
        encodeInto(packet, out_);
        if (options_.wireVersion && out_.size() > 4) {
            out_[4] = *options_.wireVersion;
        }
        asio::error_code ignored;
        socket_.send(asio::buffer(out_), 0, ignored);
    }

    void sendHello() {
        if (session_ != 0 || finished_) {
            return;
        }
        if (Clock::now() >= helloDeadline_) {
            std::fprintf(stderr, "error: no welcome from the host\n");
            finish(noAnswer);
            return;
        }
        send(Packet::Hello{identity_.deviceID, identity_.secret, options_.pin, options_.name});
        // Datagrams get lost; the hello repeats until a welcome comes.
        helloTimer_.expires_after(500ms);
        helloTimer_.async_wait([this](const asio::error_code& e) {
            if (!e) {
                sendHello();
            }
        });
    }

    void receive() {
        socket_.async_receive(asio::buffer(in_), [this](const asio::error_code& e, std::size_t n) {
            if (finished_) {
                return;
            }
            if (!e) {
                onDatagram(std::span<const std::uint8_t>(in_.data(), n));
            }
            // A refused port (the host not listening yet) is reported as an error here; the
            // hello keeps trying all the same.
            if (e != asio::error::operation_aborted) {
                receive();
            }
        });
    }

    void onDatagram(std::span<const std::uint8_t> datagram) {
        const auto packet = decode(datagram);
        if (!packet) {
            return;
        }
        if (const auto* w = packet->get<Packet::Welcome>()) {
            std::printf("welcome status=%s session=%u player=%u host=%s\n", statusName(w->status),
                        w->session, static_cast<unsigned>(w->playerNumber),
                        quoted(w->hostName).c_str());
            if (session_ != 0) {
                return;
            }
            if (w->status != WelcomeStatus::accepted) {
                finish(refused);
                return;
            }
            session_ = w->session;
            helloTimer_.cancel();
            onAccepted();
        } else if (const auto* r = packet->get<Packet::Rumble>()) {
            std::printf(
                "rumble low=%u high=%u duration=%u\n", static_cast<unsigned>(encodeLevel(r->low)),
                static_cast<unsigned>(encodeLevel(r->high)), static_cast<unsigned>(r->durationMS));
        } else if (const auto* p = packet->get<Packet::Pong>()) {
            const std::uint64_t rtt = microsecondsNow() - p->timestamp;
            std::printf("pong rtt_us=%llu\n", static_cast<unsigned long long>(rtt));
            rtts_.push_back(rtt);
            if (options_.command == "ping" && pingsSent_ == options_.count &&
                static_cast<int>(rtts_.size()) >= options_.count) {
                finishPing();
            }
        } else if (const auto* g = packet->get<Packet::Goodbye>()) {
            if (session_ != 0 && g->session == session_) {
                std::printf("goodbye session=%u\n", g->session);
                session_ = 0;
                finish(hostSaidGoodbye);
            }
        }
        std::fflush(stdout);
    }

    void onAccepted() {
        if (options_.command == "pair") {
            finish(ok);
        } else if (options_.command == "ping") {
            sendPing();
        } else {
            started_ = Clock::now();
            if (script_) {
                player_.emplace(*script_);
                runScript();
            } else {
                tick();
            }
            keepalive();
        }
    }

    void sendState() {
        const std::uint64_t sentAt = microsecondsNow();
        send(Packet::State{session_, ++sequence_, state_});
        lastStateSent_ = Clock::now();
        if (options_.trace) {
            // The monotonic clock, so that a reader on the same machine can match the time
            // against evdev timestamps taken with CLOCK_MONOTONIC.
            std::printf("state seq=%u buttons=0x%x sent_us=%llu\n", sequence_,
                        state_.buttons.rawValue(), static_cast<unsigned long long>(sentAt));
        }
    }

    // The host counts a phone as gone after a second of silence, so an unchanged state still
    // goes out at least every 100 ms.
    void keepalive() {
        if (finished_) {
            return;
        }
        if (Clock::now() - lastStateSent_ >= 100ms) {
            sendState();
        }
        keepaliveTimer_.expires_at(lastStateSent_ + 100ms);
        keepaliveTimer_.async_wait([this](const asio::error_code& e) {
            if (!e) {
                keepalive();
            }
        });
    }

    double elapsed() const {
        return std::chrono::duration<double>(Clock::now() - started_).count();
    }

    Clock::time_point at(double seconds) const {
        return started_ +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    void runScript() {
        if (finished_) {
            return;
        }
        const double now = elapsed();
        for (const auto& out : player_->advance(now)) {
            if (out.kind == ScriptPlayer::Output::Kind::ping) {
                send(Packet::Ping{session_, microsecondsNow()});
            } else {
                state_ = out.state;
                sendState();
            }
        }
        if (player_->finished(now)) {
            finish(ok);
            return;
        }
        stepTimer_.expires_at(at(player_->nextWake()));
        stepTimer_.async_wait([this](const asio::error_code& e) {
            if (!e) {
                runScript();
            }
        });
    }

    // Fixed-rate play: the left stick circles once a second and south is held for the first
    // half of every second, so that every state differs from the one before.
    void tick() {
        if (finished_) {
            return;
        }
        const double t = elapsed();
        if (options_.duration > 0 && t >= options_.duration) {
            finish(ok);
            return;
        }
        const double turn = 2 * std::numbers::pi * t;
        state_.leftStick = {static_cast<float>(0.8 * std::cos(turn)),
                            static_cast<float>(0.8 * std::sin(turn))};
        state_.buttons = t - std::floor(t) < 0.5 ? ButtonSet{ControllerButton::south} : ButtonSet{};
        sendState();
        ++ticks_;
        stepTimer_.expires_at(at(static_cast<double>(ticks_) / options_.rate));
        stepTimer_.async_wait([this](const asio::error_code& e) {
            if (!e) {
                tick();
            }
        });
    }

    void sendPing() {
        if (finished_) {
            return;
        }
        if (pingsSent_ == options_.count) {
            // The last pong has this long to come back.
            pingTimer_.expires_after(std::max(
                1000ms, std::chrono::milliseconds(static_cast<long>(options_.interval * 1000))));
            pingTimer_.async_wait([this](const asio::error_code& e) {
                if (!e) {
                    finishPing();
                }
            });
            return;
        }
        ++pingsSent_;
        send(Packet::Ping{session_, microsecondsNow()});
        pingTimer_.expires_after(
            std::chrono::microseconds(static_cast<long>(options_.interval * 1e6)));
        pingTimer_.async_wait([this](const asio::error_code& e) {
            if (!e) {
                sendPing();
            }
        });
    }

    void finishPing() {
        if (finished_) {
            return;
        }
        std::uint64_t low = 0, high = 0, sum = 0;
        if (!rtts_.empty()) {
            low = *std::min_element(rtts_.begin(), rtts_.end());
            high = *std::max_element(rtts_.begin(), rtts_.end());
            for (auto r : rtts_) {
                sum += r;
            }
        }
        std::printf("ping sent=%d received=%zu min_us=%llu avg_us=%llu max_us=%llu\n", pingsSent_,
                    rtts_.size(), static_cast<unsigned long long>(low),
                    static_cast<unsigned long long>(rtts_.empty() ? 0 : sum / rtts_.size()),
                    static_cast<unsigned long long>(high));
        finish(static_cast<int>(rtts_.size()) >= pingsSent_ ? ok : pingsLost);
    }

    void finish(int code) {
        if (finished_) {
            return;
        }
        finished_ = true;
        exitCode_ = code;
        if (session_ != 0) {
            send(Packet::Goodbye{session_});
        }
        std::fflush(stdout);
        io_.stop();
    }

    asio::io_context& io_;
    Options options_;
    PhoneIdentity identity_;
    std::optional<PhoneScript> script_;
    udp::socket socket_;
    asio::steady_timer helloTimer_, stepTimer_, keepaliveTimer_, pingTimer_;
    asio::signal_set signals_;
    Clock::time_point helloDeadline_;
    Clock::time_point started_;
    Clock::time_point lastStateSent_;
    std::array<std::uint8_t, 2048> in_{};
    std::vector<std::uint8_t> out_;
    std::uint32_t session_ = 0;
    std::uint32_t sequence_ = 0;
    ControllerState state_;
    std::optional<ScriptPlayer> player_;
    std::uint64_t ticks_ = 0;
    int pingsSent_ = 0;
    std::vector<std::uint64_t> rtts_;
    bool finished_ = false;
    int exitCode_ = ok;
};

int discover(const Options& o) {
    const auto result = AvahiBrowser::browse(
        serviceType, std::chrono::milliseconds(static_cast<long>(o.timeout * 1000)), o.first,
        [](const AvahiBrowser::Service& s) {
            printService(s);
            std::fflush(stdout);
        });
    if (result.problem) {
        std::fprintf(stderr, "error: %s\n", result.problem->c_str());
        return failure;
    }
    return result.services.empty() ? noAnswer : ok;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    auto parsed = parseArguments(argc, argv);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "jolto-phone: %s\n%s", error->c_str(), usage);
        return usageError;
    }
    Options options = std::get<Options>(std::move(parsed));
    if (options.command == "discover") {
        return discover(options);
    }

    std::optional<PhoneScript> script;
    if (options.scriptFile) {
        std::ifstream in(*options.scriptFile);
        if (!in) {
            std::fprintf(stderr, "error: couldn't read %s\n", options.scriptFile->c_str());
            return failure;
        }
        std::stringstream text;
        text << in.rdbuf();
        auto result = PhoneScript::parse(text.str());
        if (!result.script) {
            std::fprintf(stderr, "error: %s: %s\n", options.scriptFile->c_str(),
                         result.error.c_str());
            return failure;
        }
        script = std::move(result.script);
    }

    const auto identity = PhoneIdentity::loadOrCreate(options.identity);
    if (!identity.identity) {
        std::fprintf(stderr, "error: %s\n", identity.error.c_str());
        return failure;
    }

    if (options.discoverHost) {
        const auto found = AvahiBrowser::browse(
            serviceType, std::chrono::milliseconds(static_cast<long>(options.timeout * 1000)),
            true);
        if (found.services.empty()) {
            std::fprintf(stderr, "error: %s\n",
                         found.problem ? found.problem->c_str() : "no host found");
            return noAnswer;
        }
        printService(found.services.front());
        options.host = found.services.front().address;
        options.port = std::to_string(found.services.front().port);
    }

    asio::io_context io;
    udp::resolver resolver(io);
    asio::error_code ec;
    const auto endpoints =
        resolver.resolve(options.host, options.port, udp::resolver::numeric_service, ec);
    if (ec || endpoints.empty()) {
        std::fprintf(stderr, "error: couldn't resolve %s: %s\n", options.host.c_str(),
                     ec ? ec.message().c_str() : "no address");
        return failure;
    }
    Phone phone(io, options, *identity.identity, std::move(script));
    return phone.run(endpoints.begin()->endpoint());
}
