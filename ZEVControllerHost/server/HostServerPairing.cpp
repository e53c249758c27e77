// The host server's pairing and admission: hellos, the PIN and its pause after wrong tries,
// trust and forgetting. The rest of the server is in HostServer.cpp and HostServerRouting.cpp.
#include "server/HostServer.h"

#include <cstdio>

#include "protocol/Random.h"

namespace jolto {

namespace {

std::string pinText(std::uint16_t pin) {
    char text[8];
    std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(pin));
    return text;
}

} // namespace

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

} // namespace jolto
