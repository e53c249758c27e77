// The host server's routing and ticks: input to the outputs, rumble back to the phones, the
// frame, publish and watchdog timers. Sessions are in HostServer.cpp, pairing in
// HostServerPairing.cpp.
#include "server/HostServer.h"

#include <algorithm>

#include "server/Asio.h"

namespace jolto {

namespace {

float combinedLevel(float audio, float game, float strength) {
    return std::min(std::max(audio, game) * strength, 1.0f);
}

} // namespace

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
