#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/Asio.h"

#include "output/GamepadFactory.h"
#include "output/GamepadRetirement.h"
#include "output/KeyMapping.h"
#include "output/KeyboardMouseTarget.h"
#include "output/OutputMode.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/ServiceAdvertiser.h"
#include "platform/SettingsStore.h"
#include "platform/UdpListener.h"
#include "protocol/ControllerState.h"
#include "protocol/Packet.h"
#include "protocol/RumbleLevels.h"
#include "protocol/Uuid.h"
#include "server/HostEvent.h"
#include "store/TrustStore.h"

namespace jolto {

// The network side of the host: listens for phones, admits them, routes their input to the
// current output, notices silence, publishes what the interface shows and sends rumble back.
//
// Every piece of server state lives on one serial context, the io_context given at creation,
// which the owner runs on one thread. The request methods may be called from any thread and
// post their work there; the tick methods and everything the listener calls run there.
class HostServer : public std::enable_shared_from_this<HostServer> {
public:
    // The server's collaborators. All of them must outlive the server.
    struct Ports {
        asio::io_context& context;
        const Clock& clock;
        UdpListener& listener;
        // May be null: the host then serves without being advertised.
        ServiceAdvertiser* advertiser = nullptr;
        SettingsStore& settings;
        KeyboardMouseTarget& keyboard;
        GamepadFactory& gamepads;
        // Unit tests drive the ticks by hand and switch the timers off.
        bool runTimers = true;
        // Where finished gamepads end; null: threads of the server's own, all joined when the
        // server goes.
        GamepadRetirement* retirement = nullptr;
        // Draws each pairing PIN, 0 to 9999; null: the system's random source. Tests force it.
        std::function<std::uint16_t()> pinSource;
    };

    using Emit = std::function<void(const HostEvent&)>;

    static constexpr std::string_view serviceType = "_zevctrl._udp";
    static constexpr std::size_t maxPlayers = 4;
    // Connections that never got a session and may be kept at once; beyond that a new one
    // pushes out the one heard from least recently.
    static constexpr std::size_t maxUnwelcomedClients = 64;
    static constexpr int wrongPINsPerPIN = 5;
    static constexpr std::chrono::seconds firstPINPause{30};
    // Five tries a pause against 10 000 PINs: the longest pause keeps guessing from ever
    // adding up to much; the user ends it with a new PIN.
    static constexpr std::chrono::seconds longestPINPause{std::chrono::hours(24)};

    static constexpr std::chrono::milliseconds framePeriod{8};
    static constexpr std::chrono::milliseconds publishPeriod{33};
    static constexpr std::chrono::milliseconds watchdogPeriod{250};
    static constexpr std::chrono::milliseconds listenerRestartDelay{2000};
    static constexpr std::chrono::milliseconds staleAfter{1000};
    static constexpr std::chrono::seconds dropWelcomedAfter{15};
    static constexpr std::chrono::seconds dropUnwelcomedAfter{30};
    static constexpr std::chrono::milliseconds testRumbleLength{600};
    static constexpr double longestFrameStep = 0.05;
    static constexpr std::uint16_t rumbleDurationMS = 200;

    static constexpr std::string_view gamepadRefusedText =
        "The system refused to create the virtual gamepad.";
    // The device node each kind of gamepad needs.
    static constexpr std::string_view gamepadNoAccessText(GamepadDevice device) {
        return device == GamepadDevice::hid ? "JOLTO Host has no access to /dev/uhid."
                                            : "JOLTO Host has no access to /dev/uinput.";
    }

    // Loads the trust store and draws the first PIN; starts nothing.
    static std::shared_ptr<HostServer> create(std::string hostName, Ports ports);
    ~HostServer();

    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    // Requests; each runs later on the server's context, in the order made.

    // Once: keeps `emit`, applies mode and mapping, reports the PIN and the trusted phones,
    // opens the listener and starts the timers.
    void start(OutputMode mode, KeyMapping mapping, Emit emit);
    void setMode(OutputMode mode);
    // The kind of device for gamepads from now on (the standard kind until set). A change
    // removes every gamepad, which releases its controls; each phone gets a gamepad of the
    // new kind with its next state.
    void setGamepadDevice(GamepadDevice device);
    void setMapping(KeyMapping mapping);
    void setRumbleStrength(float strength);
    void setAudioRumble(RumbleLevels levels);
    void regeneratePIN();
    void forget(Uuid device);
    void testRumble();
    // Gamepad access appeared: gamepads refused so far are tried again.
    void retryGamepads();

    // Timer work, on the server's context; public so that tests can drive time.
    void frameTick(Instant now);
    void publishTick(Instant now);
    void watchdogTick(Instant now);

    // The timers keep their cadence from absolute deadlines, so that the frame timer does not
    // drift: the next deadline is one period after the previous one, unless the timer fell
    // more than a period behind, when it restarts from now instead of firing a burst of late
    // ticks.
    static Instant nextDeadline(Instant previous, Instant now, Duration period);

private:
    struct Client {
        ConnectionId connection = 0;
        std::optional<Uuid> deviceID;
        std::string name;
        // 0 until a hello is accepted; a client without one is "unwelcomed".
        std::uint32_t session = 0;
        std::uint32_t sequence = 0;
        bool hasSequence = false;
        int playerNumber = 0;
        ControllerState state;
        Instant lastHeard;
        bool isStale = false;

        bool isWelcomed() const { return session != 0; }
    };

    struct Gamepad {
        std::unique_ptr<GamepadHandle> handle;
        // Tells this gamepad's late rumble callbacks apart from those of its successor.
        std::uint64_t generation = 0;
    };

    HostServer(std::string hostName, Ports ports);

    // Runs `work` on the context with the server, unless the server is gone by then.
    template <typename F> void post(F work);

    void startNow(OutputMode mode, const KeyMapping& mapping, Emit emit);
    void emit(HostEvent event);

    // Listener
    void startListener();
    void listenerReady(std::uint16_t port);
    void listenerWaiting(const std::string& error);
    void listenerFailed(const std::string& error);
    void advertisementProblem(std::optional<std::string> problem);
    void newConnection(ConnectionId connection);
    void evictOldestUnwelcomed();
    void handleDatagram(ConnectionId connection, std::span<const std::uint8_t> bytes);
    void handleState(Client& client, const Packet::State& packet);
    void removeClient(ConnectionId connection);
    void releaseOutputs(const Uuid& device);
    // Finishes the gamepad and hands it to the retirement; the server goes on at once.
    void retireGamepad(const Uuid& device, Gamepad gamepad);
    // The old gamepad of `device` has left the system: a successor may now be made.
    void gamepadGone(const Uuid& device);
    void send(ConnectionId connection, const Packet& packet);
    void sendWelcome(const Client& client, WelcomeStatus status);

    // Pairing
    void handleHello(Client& client, const Packet::Hello& hello);
    // The trust or PIN test of a hello; false when the hello has been answered and refused.
    bool admits(Client& client, const Packet::Hello& hello, const std::string& name, Instant now);
    void pausePairing(Instant now);
    void endPairingPause();
    // Draws the next PIN; a replacement is never the PIN it replaces, which is used up.
    void drawPIN(bool replacing = true);
    void emitPIN();
    void emitTrusted();
    void regeneratePINNow();
    void forgetNow(const Uuid& device);

    // Routing and ticks
    void route(Client& client);
    void setModeNow(OutputMode mode);
    void setGamepadDeviceNow(GamepadDevice device);
    // Finishes every gamepad and forgets its rumble and its refusal.
    void dropGamepads();
    void gamepadRumble(const Uuid& device, std::uint64_t generation, RumbleLevels levels);
    void forwardRumble(Instant now);
    std::vector<ClientSnapshot> snapshots() const;
    // A periodic timer that sleeps while it has nothing to do, so that an idle host does not
    // wake 160 times a second; it resumes on its old grid, never sooner than one period after
    // its last tick.
    struct PeriodicTimer {
        PeriodicTimer(asio::io_context& context, Duration period, void (HostServer::*tick)(Instant),
                      bool (HostServer::*wanted)() const)
            : timer(context), period(period), tick(tick), wanted(wanted) {}
        asio::steady_timer timer;
        Duration period;
        void (HostServer::*tick)(Instant);
        bool (HostServer::*wanted)() const;
        Instant deadline;
        bool armed = false;
    };

    void startTimers();
    void arm(PeriodicTimer& timer);
    void wake(PeriodicTimer& timer);
    // Called after every piece of work on the context: resumes the timers that have work now.
    void wakeTimers();
    bool frameWanted() const;
    bool publishWanted() const;
    bool watchdogWanted() const;

    const std::string hostName_;
    Ports ports_;
    Logger logger_{"Server"};
    Emit emit_;

    bool started_ = false;
    bool listening_ = false;
    std::unordered_map<ConnectionId, Client> clients_;
    std::size_t unwelcomedCount_ = 0;
    TrustStore trust_;

    std::uint16_t pin_ = 0;
    int wrongPINs_ = 0;
    // Times the PIN was used up by wrong tries since the last pairing or new PIN; each one
    // doubles the pause that follows.
    int pinPauses_ = 0;
    std::optional<Instant> pinPausedUntil_;

    OutputMode mode_ = OutputMode::keyboardMouse;
    std::unordered_map<Uuid, Gamepad> gamepads_;
    GamepadDevice gamepadDevice_ = GamepadDevice::standard;
    // Phones whose finished gamepad is still on its way out; a phone gets no new
    // gamepad before its old one is gone, so that games never see both.
    std::unordered_set<Uuid> retiring_;
    std::unique_ptr<GamepadRetirement> ownRetirement_;
    GamepadRetirement& retirement_;
    std::uint64_t gamepadGenerations_ = 0;
    bool gamepadUnavailable_ = false;
    bool needsPublish_ = false;
    Instant lastTick_;

    float rumbleStrength_ = 1.0f;
    RumbleLevels audioRumble_;
    std::unordered_map<Uuid, RumbleLevels> gamepadRumble_;
    std::unordered_map<Uuid, RumbleLevels> lastRumbleSent_;
    std::optional<Instant> testRumbleUntil_;

    bool timersStarted_ = false;
    PeriodicTimer frameTimer_;
    PeriodicTimer publishTimer_;
    PeriodicTimer watchdogTimer_;
    asio::steady_timer restartTimer_;

    // Reused for every outgoing datagram.
    std::vector<std::uint8_t> sendBuffer_;
    // Welcomed clients collected by the ticks, reused to avoid allocating on every tick.
    std::vector<ConnectionId> tickScratch_;
};

} // namespace jolto
