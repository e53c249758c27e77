#include "server/HostServer.h"

#include <algorithm>
#include <array>

#include "server/Asio.h"

#include "output/ThreadedGamepadRetirement.h"

namespace jolto {

namespace {

// Newer by serial-number arithmetic: the difference read as a signed 32-bit number is
// positive, so the sequence may wrap from 0xFFFFFFFF to 0.
bool isNewer(std::uint32_t sequence, std::uint32_t previous) {
    return static_cast<std::int32_t>(sequence - previous) >= 1;
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

} // namespace jolto
