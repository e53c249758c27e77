#include "server/HostServer.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "server/Asio.h"

#include "output/ThreadedGamepadRetirement.h"
#include "protocol/Random.h"

namespace jolto {

namespace {

std::string pinText(std::uint16_t pin) {
    char text[8];
    std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(pin));
    return text;
}

// Newer by serial-number arithmetic: the difference read as a signed 32-bit number is
// positive, so the sequence may wrap from 0xFFFFFFFF to 0.
bool isNewer(std::uint32_t sequence, std::uint32_t previous) {
    return static_cast<std::int32_t>(sequence - previous) >= 1;
}

float combinedLevel(float audio, float game, float strength) {
    return std::min(std::max(audio, game) * strength, 1.0f);
}

} // namespace

template <typename F> void HostServer::post(F work) {
    asio::post(ports_.context, [weak = weak_from_this(), work = std::move(work)]() mutable {
        if (auto self = weak.lock()) {
            work(*self);
            self->wakeTimers();
        }
    });
}

std::shared_ptr<HostServer> HostServer::create(std::string hostName, Ports ports) {
    return std::shared_ptr<HostServer>(new HostServer(std::move(hostName), ports));
}

HostServer::HostServer(std::string hostName, Ports ports)
    : hostName_(std::move(hostName)), ports_(ports), trust_(TrustStore::load(ports.settings)),
      ownRetirement_(ports.retirement ? nullptr : std::make_unique<ThreadedGamepadRetirement>()),
      retirement_(ports.retirement ? *ports.retirement : *ownRetirement_),
      lastTick_(ports.clock.now()),
      frameTimer_(ports.context, framePeriod, &HostServer::frameTick, &HostServer::frameWanted),
      publishTimer_(ports.context, publishPeriod, &HostServer::publishTick,
                    &HostServer::publishWanted),
      watchdogTimer_(ports.context, watchdogPeriod, &HostServer::watchdogTick,
                     &HostServer::watchdogWanted),
      restartTimer_(ports.context) {
    drawPIN(false);
}

HostServer::~HostServer() {
    if (listening_) {
        ports_.listener.cancel();
        if (ports_.advertiser) {
            ports_.advertiser->withdraw();
        }
    }
    for (auto& [device, gamepad] : gamepads_) {
        gamepad.handle->finish();
        retirement_.retire(std::move(gamepad.handle), {});
    }
    // The orderly end waits here, off the server's thread, for every device to be gone.
    ownRetirement_.reset();
}

// Requests

void HostServer::start(OutputMode mode, KeyMapping mapping, Emit emit) {
    post([mode, mapping = std::move(mapping), emit = std::move(emit)](HostServer& self) mutable {
        self.startNow(mode, mapping, std::move(emit));
    });
}

void HostServer::setMode(OutputMode mode) {
    post([mode](HostServer& self) { self.setModeNow(mode); });
}

void HostServer::setGamepadDevice(GamepadDevice device) {
    post([device](HostServer& self) { self.setGamepadDeviceNow(device); });
}

void HostServer::setMapping(KeyMapping mapping) {
    post([mapping = std::move(mapping)](HostServer& self) {
        self.ports_.keyboard.setMapping(mapping);
    });
}

void HostServer::setRumbleStrength(float strength) {
    post([strength](HostServer& self) { self.rumbleStrength_ = strength; });
}

void HostServer::setAudioRumble(RumbleLevels levels) {
    post([levels](HostServer& self) { self.audioRumble_ = levels; });
}

void HostServer::regeneratePIN() {
    post([](HostServer& self) { self.regeneratePINNow(); });
}

void HostServer::forget(Uuid device) {
    post([device](HostServer& self) { self.forgetNow(device); });
}

void HostServer::testRumble() {
    post([](HostServer& self) {
        // A second request while one runs extends it from now.
        self.testRumbleUntil_ = self.ports_.clock.now() + testRumbleLength;
    });
}

void HostServer::retryGamepads() {
    post([](HostServer& self) {
        if (self.mode_ != OutputMode::gamepad || !self.gamepadUnavailable_) {
            return;
        }
        self.gamepadUnavailable_ = false;
        self.emit(HostEvent::GamepadProblem{std::nullopt});
        for (auto& [connection, client] : self.clients_) {
            if (client.isWelcomed()) {
                self.route(client);
            }
        }
    });
}

void HostServer::startNow(OutputMode mode, const KeyMapping& mapping, Emit emit) {
    if (started_) {
        return;
    }
    started_ = true;
    emit_ = std::move(emit);
    mode_ = mode;
    ports_.keyboard.setMapping(mapping);
    emitPIN();
    emitTrusted();
    startListener();
    if (ports_.runTimers) {
        startTimers();
    }
}

void HostServer::emit(HostEvent event) {
    if (emit_) {
        emit_(event);
    }
}

// Listener and connections

void HostServer::startListener() {
    emit(HostEvent::Listener{ListenerState::starting()});
    auto weak = weak_from_this();
    UdpListenerHandler handler;
    handler.ready = [weak](std::uint16_t port) {
        if (auto self = weak.lock()) {
            self->listenerReady(port);
        }
    };
    handler.waiting = [weak](const std::string& error) {
        if (auto self = weak.lock()) {
            self->listenerWaiting(error);
        }
    };
    handler.failed = [weak](const std::string& error) {
        if (auto self = weak.lock()) {
            self->listenerFailed(error);
        }
    };
    handler.newConnection = [weak](ConnectionId connection) {
        if (auto self = weak.lock()) {
            self->newConnection(connection);
            self->wakeTimers();
        }
    };
    handler.datagram = [weak](ConnectionId connection, std::span<const std::uint8_t> bytes,
                              Instant) {
        if (auto self = weak.lock()) {
            self->handleDatagram(connection, bytes);
            self->wakeTimers();
        }
    };
    handler.closed = [weak](ConnectionId connection) {
        if (auto self = weak.lock()) {
            self->removeClient(connection);
            self->wakeTimers();
        }
    };
    auto error = ports_.listener.start(std::move(handler));
    if (!error.empty()) {
        // Creating the socket failed outright; retrying would fail the same way.
        logger_.error("Listener failed: " + error);
        emit(HostEvent::Listener{ListenerState::failed(error)});
        return;
    }
    listening_ = true;
}

void HostServer::listenerReady(std::uint16_t port) {
    emit(HostEvent::Listener{ListenerState::ready(port)});
    if (!ports_.advertiser) {
        return;
    }
    // The advertiser reports from its own thread.
    ports_.advertiser->publish(
        hostName_, std::string(serviceType), port,
        [weak = weak_from_this(),
         executor = ports_.context.get_executor()](std::optional<std::string> problem) {
            asio::post(executor, [weak, problem = std::move(problem)]() mutable {
                if (auto self = weak.lock()) {
                    self->emit(HostEvent::Advertisement{std::move(problem)});
                }
            });
        });
}

void HostServer::listenerWaiting(const std::string& error) {
    emit(HostEvent::Listener{ListenerState::failed(error)});
}

void HostServer::listenerFailed(const std::string& error) {
    logger_.error("Listener failed: " + error);
    emit(HostEvent::Listener{ListenerState::failed(error)});
    // The listener has stopped by itself and keeps its connections, so a phone that finds the
    // new port from the same source port carries on in its session.
    listening_ = false;
    if (ports_.advertiser) {
        ports_.advertiser->withdraw();
    }
    restartTimer_.expires_after(listenerRestartDelay);
    restartTimer_.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
        if (ec) {
            return;
        }
        if (auto self = weak.lock()) {
            self->startListener();
        }
    });
}

void HostServer::newConnection(ConnectionId connection) {
    if (clients_.contains(connection)) {
        return;
    }
    // Datagrams from many source ports must not grow the client table without bound; phones
    // that hold a session are never pushed out.
    if (unwelcomedCount_ >= maxUnwelcomedClients) {
        evictOldestUnwelcomed();
    }
    Client client;
    client.connection = connection;
    client.lastHeard = ports_.clock.now();
    clients_.emplace(connection, std::move(client));
    ++unwelcomedCount_;
}

void HostServer::evictOldestUnwelcomed() {
    const Client* oldest = nullptr;
    for (const auto& [connection, client] : clients_) {
        if (!client.isWelcomed() && (!oldest || client.lastHeard < oldest->lastHeard)) {
            oldest = &client;
        }
    }
    if (oldest) {
        removeClient(oldest->connection);
    }
}

void HostServer::handleDatagram(ConnectionId connection, std::span<const std::uint8_t> bytes) {
    auto found = clients_.find(connection);
    if (found == clients_.end()) {
        return;
    }
    Client& client = found->second;
    auto packet = decode(bytes);
    if (!packet) {
        auto version = peekVersion(bytes);
        if (version && *version != protocolVersion) {
            send(connection, Packet::Welcome{WelcomeStatus::versionMismatch, 0, 0, hostName_});
        }
        return;
    }
    if (auto hello = packet->get<Packet::Hello>()) {
        handleHello(client, *hello);
    } else if (auto state = packet->get<Packet::State>()) {
        handleState(client, *state);
    } else if (auto ping = packet->get<Packet::Ping>()) {
        if (ping->session != 0 && ping->session == client.session) {
            client.lastHeard = ports_.clock.now();
            send(connection, Packet::Pong{ping->timestamp});
        }
    } else if (auto goodbye = packet->get<Packet::Goodbye>()) {
        if (goodbye->session == client.session) {
            removeClient(connection);
        }
    }
}

void HostServer::handleState(Client& client, const Packet::State& packet) {
    if (packet.session == 0 || packet.session != client.session) {
        return;
    }
    if (client.hasSequence && !isNewer(packet.sequence, client.sequence)) {
        return;
    }
    client.sequence = packet.sequence;
    client.hasSequence = true;
    client.lastHeard = ports_.clock.now();
    bool wasStale = client.isStale;
    client.isStale = false;
    // A phone back from silence gets its input applied again at once, even when it still
    // holds what it held before: staleness had released it in the outputs.
    if (packet.state == client.state && !wasStale) {
        return;
    }
    client.state = packet.state;
    route(client);
    needsPublish_ = true;
}

void HostServer::removeClient(ConnectionId connection) {
    auto found = clients_.find(connection);
    if (found == clients_.end()) {
        return;
    }
    bool welcomed = found->second.isWelcomed();
    auto device = found->second.deviceID;
    clients_.erase(found);
    if (!welcomed) {
        --unwelcomedCount_;
    }
    if (device) {
        releaseOutputs(*device);
    }
    ports_.listener.close(connection);
    // The published list holds welcomed clients only.
    if (welcomed) {
        needsPublish_ = true;
    }
}

void HostServer::releaseOutputs(const Uuid& device) {
    ports_.keyboard.remove(device);
    if (auto gamepad = gamepads_.find(device); gamepad != gamepads_.end()) {
        retireGamepad(device, std::move(gamepad->second));
        gamepads_.erase(gamepad);
    }
    gamepadRumble_.erase(device);
    lastRumbleSent_.erase(device);
}

void HostServer::retireGamepad(const Uuid& device, Gamepad gamepad) {
    gamepad.handle->finish();
    retiring_.insert(device);
    retirement_.retire(std::move(gamepad.handle),
                       [weak = weak_from_this(), executor = ports_.context.get_executor(), device] {
                           asio::post(executor, [weak, device] {
                               if (auto self = weak.lock()) {
                                   self->gamepadGone(device);
                                   self->wakeTimers();
                               }
                           });
                       });
}

void HostServer::gamepadGone(const Uuid& device) {
    // A phone has at most one gamepad on its way out: none is made while one is.
    retiring_.erase(device);
    if (mode_ != OutputMode::gamepad || gamepads_.contains(device)) {
        return;
    }
    for (auto& [connection, client] : clients_) {
        if (client.isWelcomed() && client.deviceID == device) {
            route(client);
            return;
        }
    }
}

void HostServer::send(ConnectionId connection, const Packet& packet) {
    encodeInto(packet, sendBuffer_);
    ports_.listener.send(connection, sendBuffer_);
}

void HostServer::sendWelcome(const Client& client, WelcomeStatus status) {
    send(client.connection,
         Packet::Welcome{status, status == WelcomeStatus::accepted ? client.session : 0,
                         static_cast<std::uint8_t>(client.playerNumber), hostName_});
}

// Pairing

void HostServer::handleHello(Client& client, const Packet::Hello& hello) {
    auto now = ports_.clock.now();
    client.lastHeard = now;
    std::string name = hello.name.empty() ? "iPhone" : hello.name;

    // A phone that missed its welcome asks again; it keeps what it was given.
    if (client.isWelcomed() && client.deviceID == hello.deviceID) {
        sendWelcome(client, WelcomeStatus::accepted);
        return;
    }
    if (!admits(client, hello, name, now)) {
        return;
    }
    emitTrusted();

    // The phone came back from another source port; its old connection gives way, so that it
    // is not refused as full by itself.
    std::vector<ConnectionId> older;
    for (const auto& [connection, other] : clients_) {
        if (connection != client.connection && other.deviceID == hello.deviceID) {
            older.push_back(connection);
        }
    }
    for (auto connection : older) {
        removeClient(connection);
    }

    std::array<bool, maxPlayers + 1> taken{};
    std::size_t welcomed = 0;
    for (const auto& [connection, other] : clients_) {
        if (other.isWelcomed()) {
            ++welcomed;
            taken[static_cast<std::size_t>(other.playerNumber)] = true;
        }
    }
    if (welcomed >= maxPlayers) {
        sendWelcome(client, WelcomeStatus::hostFull);
        return;
    }

    if (client.isWelcomed()) {
        // The connection changes identity: what the old identity held must not stay held.
        releaseOutputs(*client.deviceID);
    } else {
        --unwelcomedCount_;
    }
    client.deviceID = hello.deviceID;
    client.name = name;
    client.session = randomUniform(1, 0xFFFFFFFFu);
    client.hasSequence = false;
    client.state = ControllerState{};
    client.isStale = false;
    client.playerNumber = 1;
    while (taken[static_cast<std::size_t>(client.playerNumber)]) {
        ++client.playerNumber;
    }
    logger_.info("Controller " + name + " joined as player " + std::to_string(client.playerNumber));
    sendWelcome(client, WelcomeStatus::accepted);
    route(client);
    needsPublish_ = true;
}

bool HostServer::admits(Client& client, const Packet::Hello& hello, const std::string& name,
                        Instant now) {
    if (trust_.isTrusted(hello.deviceID, hello.secret)) {
        trust_.touch(hello.deviceID, name);
        return true;
    }
    if (!hello.pin) {
        sendWelcome(client, WelcomeStatus::pinRequired);
        return false;
    }
    // While paused, a guess is refused unseen, so that trying at network speed finds nothing.
    if (pinPausedUntil_ && now < *pinPausedUntil_) {
        sendWelcome(client, WelcomeStatus::pinIncorrect);
        return false;
    }
    if (*hello.pin != pin_) {
        if (++wrongPINs_ >= wrongPINsPerPIN) {
            drawPIN();
            wrongPINs_ = 0;
            emitPIN();
            pausePairing(now);
        }
        sendWelcome(client, WelcomeStatus::pinIncorrect);
        return false;
    }
    trust_.add(hello.deviceID, name, hello.secret);
    drawPIN();
    wrongPINs_ = 0;
    endPairingPause();
    emitPIN();
    return true;
}

void HostServer::pausePairing(Instant now) {
    ++pinPauses_;
    Duration pause = firstPINPause;
    for (int i = 1; i < pinPauses_ && pause < longestPINPause; ++i) {
        pause *= 2;
    }
    pause = std::min<Duration>(pause, longestPINPause);
    pinPausedUntil_ = now + pause;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(pause);
    logger_.info("Pairing paused for " + std::to_string(seconds.count()) + " s after " +
                 std::to_string(wrongPINsPerPIN) + " wrong PINs");
    emit(HostEvent::PairingPause{seconds});
}

void HostServer::endPairingPause() {
    pinPauses_ = 0;
    if (pinPausedUntil_) {
        pinPausedUntil_.reset();
        emit(HostEvent::PairingPause{std::nullopt});
    }
}

void HostServer::drawPIN(bool replacing) {
    const auto usedUp = pin_;
    auto draw = [this] {
        return ports_.pinSource ? static_cast<std::uint16_t>(ports_.pinSource() % 10000)
                                : static_cast<std::uint16_t>(randomUniform(0, 9999));
    };
    pin_ = draw();
    // Tries that keep repeating mean a broken source; the next PIN along still changes it.
    for (int tries = 0; replacing && pin_ == usedUp; ++tries) {
        pin_ = tries < 16 ? draw() : static_cast<std::uint16_t>((usedUp + 1) % 10000);
    }
}

void HostServer::emitPIN() {
    emit(HostEvent::Pin{pinText(pin_)});
}

void HostServer::emitTrusted() {
    emit(HostEvent::Trusted{trust_.sortedDevices()});
}

void HostServer::regeneratePINNow() {
    drawPIN();
    wrongPINs_ = 0;
    endPairingPause();
    emitPIN();
}

void HostServer::forgetNow(const Uuid& device) {
    trust_.forget(device);
    emitTrusted();
    std::vector<ConnectionId> connected;
    for (const auto& [connection, client] : clients_) {
        if (client.deviceID == device) {
            connected.push_back(connection);
        }
    }
    for (auto connection : connected) {
        send(connection, Packet::Goodbye{clients_.at(connection).session});
        removeClient(connection);
    }
}

// Routing and ticks

void HostServer::route(Client& client) {
    if (!client.deviceID) {
        return;
    }
    const Uuid& device = *client.deviceID;
    const ControllerState input = client.isStale ? ControllerState{} : client.state;
    if (mode_ == OutputMode::keyboardMouse) {
        ports_.keyboard.update(device, input);
        return;
    }
    auto found = gamepads_.find(device);
    if (found == gamepads_.end()) {
        // The phone's input waits in its state until its old gamepad has gone.
        if (gamepadUnavailable_ || retiring_.contains(device)) {
            return;
        }
        auto generation = ++gamepadGenerations_;
        auto onRumble = [weak = weak_from_this(), executor = ports_.context.get_executor(), device,
                         generation](float heavy, float light) {
            asio::post(executor, [weak, device, generation, heavy, light] {
                if (auto self = weak.lock()) {
                    self->gamepadRumble(device, generation, RumbleLevels{heavy, light});
                }
            });
        };
        auto handle = ports_.gamepads.create(gamepadDevice_, client.playerNumber, device.string(),
                                             std::move(onRumble));
        if (!handle) {
            gamepadUnavailable_ = true;
            emit(HostEvent::GamepadProblem{
                std::string(ports_.gamepads.hasVirtualDeviceEntitlement(gamepadDevice_)
                                ? gamepadRefusedText
                                : gamepadNoAccessText(gamepadDevice_))});
            return;
        }
        found = gamepads_.emplace(device, Gamepad{std::move(handle), generation}).first;
    }
    found->second.handle->push(input);
}

void HostServer::gamepadRumble(const Uuid& device, std::uint64_t generation, RumbleLevels levels) {
    // A gamepad already finished by a removal or a mode switch may still report from its
    // feeder; its levels would otherwise outlive it and keep the phone rumbling.
    auto found = gamepads_.find(device);
    if (found == gamepads_.end() || found->second.generation != generation) {
        return;
    }
    if (levels.isActive()) {
        gamepadRumble_[device] = levels;
    } else {
        gamepadRumble_.erase(device);
    }
}

void HostServer::setModeNow(OutputMode mode) {
    if (mode == mode_) {
        return;
    }
    ports_.keyboard.removeAllClients();
    dropGamepads();
    mode_ = mode;
    for (auto& [connection, client] : clients_) {
        if (client.isWelcomed()) {
            route(client);
        }
    }
}

void HostServer::setGamepadDeviceNow(GamepadDevice device) {
    if (device == gamepadDevice_) {
        return;
    }
    // Every old gamepad is finished before a new one is made, so that no phone has both.
    dropGamepads();
    gamepadDevice_ = device;
    if (mode_ != OutputMode::gamepad) {
        return;
    }
    for (auto& [connection, client] : clients_) {
        if (client.isWelcomed()) {
            route(client);
        }
    }
}

void HostServer::dropGamepads() {
    for (auto& [device, gamepad] : gamepads_) {
        retireGamepad(device, std::move(gamepad));
    }
    gamepads_.clear();
    // lastRumbleSent stays, so that a phone rumbling from its gamepad gets its closing packet.
    gamepadRumble_.clear();
    gamepadUnavailable_ = false;
    emit(HostEvent::GamepadProblem{std::nullopt});
}

void HostServer::frameTick(Instant now) {
    double elapsed = secondsBetween(lastTick_, now);
    lastTick_ = now;
    if (mode_ == OutputMode::keyboardMouse && ports_.keyboard.needsMotion()) {
        // A late tick must not make the pointer jump.
        ports_.keyboard.step(std::min(elapsed, longestFrameStep));
    }
}

void HostServer::publishTick(Instant now) {
    if (needsPublish_) {
        needsPublish_ = false;
        emit(HostEvent::Clients{snapshots()});
    }
    forwardRumble(now);
}

std::vector<ClientSnapshot> HostServer::snapshots() const {
    std::vector<ClientSnapshot> list;
    for (const auto& [connection, client] : clients_) {
        // A welcomed client always has its phone's id.
        if (client.isWelcomed() && client.deviceID) {
            list.push_back(ClientSnapshot{*client.deviceID, client.name, client.playerNumber,
                                          client.state, client.isStale});
        }
    }
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return a.playerNumber < b.playerNumber; });
    return list;
}

void HostServer::forwardRumble(Instant now) {
    bool testing = testRumbleUntil_ && now < *testRumbleUntil_;
    if (!testing) {
        testRumbleUntil_.reset();
    }
    for (const auto& [connection, client] : clients_) {
        if (!client.isWelcomed() || !client.deviceID) {
            continue;
        }
        const Uuid& device = *client.deviceID;
        RumbleLevels target;
        if (!client.isStale) {
            RumbleLevels game;
            if (auto found = gamepadRumble_.find(device); found != gamepadRumble_.end()) {
                game = found->second;
            }
            target.low = combinedLevel(audioRumble_.low, game.low, rumbleStrength_);
            target.high = combinedLevel(audioRumble_.high, game.high, rumbleStrength_);
            if (testing) {
                target.low = std::max(target.low, 0.9f);
                target.high = std::max(target.high, 0.5f);
            }
        }
        bool active = target.isActive();
        auto last = lastRumbleSent_.find(device);
        bool wasActive = last != lastRumbleSent_.end() && last->second.isActive();
        if (!active && !wasActive) {
            continue;
        }
        // Once the target falls quiet, one (0, 0) packet stops the phone at once instead of
        // letting its last request run out.
        RumbleLevels levels = active ? target : RumbleLevels{};
        send(connection, Packet::Rumble{client.session, levels.low, levels.high, rumbleDurationMS});
        lastRumbleSent_[device] = levels;
    }
}

void HostServer::watchdogTick(Instant now) {
    // Removals during the pass must not disturb it.
    tickScratch_.clear();
    for (const auto& [connection, client] : clients_) {
        tickScratch_.push_back(connection);
    }
    for (auto connection : tickScratch_) {
        auto found = clients_.find(connection);
        if (found == clients_.end()) {
            continue;
        }
        Client& client = found->second;
        auto silence = now - client.lastHeard;
        if (!client.isWelcomed()) {
            if (silence > dropUnwelcomedAfter) {
                removeClient(connection);
            }
        } else if (silence > dropWelcomedAfter) {
            logger_.info("Dropping silent controller " + client.name);
            removeClient(connection);
        } else if (silence > staleAfter && !client.isStale) {
            // The outputs get the zero state: held keys and buttons are released, sticks centre.
            client.isStale = true;
            route(client);
            needsPublish_ = true;
        }
    }
}

// Timers

Instant HostServer::nextDeadline(Instant previous, Instant now, Duration period) {
    Instant next = previous + period;
    if (next + period < now) {
        return now;
    }
    return next;
}

void HostServer::startTimers() {
    // All three fire once at once, then sleep unless they have work.
    timersStarted_ = true;
    auto now = std::chrono::steady_clock::now();
    for (auto* timer : {&frameTimer_, &publishTimer_, &watchdogTimer_}) {
        timer->deadline = now;
        arm(*timer);
    }
}

void HostServer::arm(PeriodicTimer& timer) {
    timer.armed = true;
    timer.timer.expires_at(timer.deadline);
    timer.timer.async_wait([weak = weak_from_this(), &timer](const asio::error_code& ec) {
        if (ec) {
            return;
        }
        auto self = weak.lock();
        if (!self) {
            return;
        }
        timer.armed = false;
        (self.get()->*timer.tick)(self->ports_.clock.now());
        if ((self.get()->*timer.wanted)()) {
            timer.deadline =
                nextDeadline(timer.deadline, std::chrono::steady_clock::now(), timer.period);
            self->arm(timer);
        }
        self->wakeTimers();
    });
}

void HostServer::wake(PeriodicTimer& timer) {
    if (!timersStarted_ || timer.armed || !(this->*timer.wanted)()) {
        return;
    }
    timer.deadline = std::max(std::chrono::steady_clock::now(), timer.deadline + timer.period);
    arm(timer);
}

void HostServer::wakeTimers() {
    if (!timersStarted_) {
        return;
    }
    if (!frameTimer_.armed && frameWanted()) {
        // While asleep the frame timer had nothing to step; motion starts now, not at its
        // last tick.
        lastTick_ = ports_.clock.now();
    }
    wake(frameTimer_);
    wake(publishTimer_);
    wake(watchdogTimer_);
}

bool HostServer::frameWanted() const {
    return mode_ == OutputMode::keyboardMouse && ports_.keyboard.needsMotion();
}

bool HostServer::publishWanted() const {
    // Rumble goes only to welcomed phones; without them there is nothing to forward.
    return needsPublish_ || clients_.size() > unwelcomedCount_;
}

bool HostServer::watchdogWanted() const {
    return !clients_.empty();
}

} // namespace jolto
