// Hello admission: trust, PIN, host full, player numbers, the PIN's life and forgetting.

#include <algorithm>

#include "fakes/HostServerHarness.h"

using namespace jolto;
using namespace jolto::testing;

namespace {

class Admission : public HostServerTest {
protected:
    int pinEvents() const { return static_cast<int>(eventsOf<HostEvent::Pin>().size()); }
    // `n` wrong PINs, from two strangers in turn.
    void wrongTries(int n) {
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(hello(101 + i % 2, guessers[i % 2], wrongPIN()).status,
                      WelcomeStatus::pinIncorrect);
        }
    }
    std::optional<std::chrono::seconds> lastPause() const {
        auto pauses = eventsOf<HostEvent::PairingPause>();
        return pauses.empty() ? std::nullopt : pauses.back().length;
    }
    bool isTrusted(const Phone& phone) const {
        auto lists = eventsOf<HostEvent::Trusted>();
        return !lists.empty() && std::ranges::any_of(lists.back().devices, [&](const auto& d) {
            return d.id == phone.device;
        });
    }

    Phone guessers[2];
};

TEST_F(Admission, CorrectPINAdmitsTrustsAndIsUsedUp) {
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), 1u);
    EXPECT_EQ(keyboard.mappings, std::vector{KeyMapping::shooter()});
    // The next draw repeats the PIN just used, which must not come back.
    forcedPINs = {7, 7, 7, 42};
    restart();
    EXPECT_EQ(eventsOf<HostEvent::Pin>().back().pin, "0007");
    Phone phone;
    EXPECT_EQ(hello(1, phone), (Packet::Welcome{WelcomeStatus::pinRequired, 0, 0, "Test Host"}));
    join(1, phone);
    EXPECT_TRUE(isTrusted(phone));
    EXPECT_EQ(pinEvents(), 3) << "one PIN for each server, one after the pairing";
    EXPECT_EQ(eventsOf<HostEvent::Pin>().back().pin, "0042");
    EXPECT_EQ(hello(2, Phone{}, 7).status, WelcomeStatus::pinIncorrect);
    // The trust was stored: it survives a server built on the same settings.
    restart();
    EXPECT_TRUE(isTrusted(phone));
}

TEST_F(Admission, TrustedPhoneIsAdmittedWithoutPINAndItsWrongPINIsIgnored) {
    Phone phone;
    deliver(1, Packet::Goodbye{join(1, phone)});
    auto trustedBefore = eventsOf<HostEvent::Trusted>().size();
    phone.name = "New name";
    EXPECT_EQ(hello(2, phone, wrongPIN()).status, WelcomeStatus::accepted);
    auto lists = eventsOf<HostEvent::Trusted>();
    ASSERT_EQ(lists.size(), trustedBefore + 1);
    ASSERT_EQ(lists.back().devices.size(), 1u);
    EXPECT_EQ(lists.back().devices[0].name, "New name") << "the trust entry follows the phone";
    // The trusted phone's wrong PIN did not count: four more wrong ones keep the PIN.
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 2);

    // The same id with another secret must pair again, and then replaces the secret.
    Phone impostor{phone.device, Uuid::random(), "Other"};
    EXPECT_EQ(hello(3, impostor).status, WelcomeStatus::pinRequired);
    deliver(3, Packet::Goodbye{join(3, impostor)});
    EXPECT_EQ(hello(4, phone).status, WelcomeStatus::pinRequired) << "old secret replaced";
    EXPECT_EQ(hello(5, impostor).status, WelcomeStatus::accepted);
}

// Four players at most, numbered from 1; a phone back from another port takes its own seat
// over, and a freed seat goes to the next phone.
TEST_F(Admission, SeatsAreNumberedKeptOnARepeatedHelloAndMovedWithANewPort) {
    Phone phones[5];
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pair(static_cast<ConnectionId>(i + 1), phones[i]).playerNumber, i + 1);
    }
    auto trustedBefore = eventsOf<HostEvent::Trusted>().size();
    auto second = sessionOf(2);
    phones[1].name = "Renamed";
    EXPECT_EQ(hello(2, phones[1]),
              (Packet::Welcome{WelcomeStatus::accepted, second, 2, "Test Host"}));
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), trustedBefore) << "trust left alone";

    auto old = sessionOf(3);
    auto welcome = hello(9, phones[2]);
    EXPECT_EQ(welcome.status, WelcomeStatus::accepted) << "not refused as full by itself";
    EXPECT_EQ(welcome.playerNumber, 3);
    EXPECT_NE(welcome.session, old);
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{3});
    // The old connection's input was released before the new one took over.
    EXPECT_EQ(keyboard.removed, std::vector{phones[2].device});
    // Its old session no longer drives anything.
    auto updates = keyboard.updates.size();
    sendState(9, old, 1, pressing(ControllerButton::south));
    EXPECT_EQ(keyboard.updates.size(), updates);

    // A fifth phone is refused, but keeps its pairing and uses the PIN up.
    auto pinsBefore = pinEvents();
    EXPECT_EQ(pair(5, phones[4]), (Packet::Welcome{WelcomeStatus::hostFull, 0, 0, "Test Host"}));
    EXPECT_TRUE(isTrusted(phones[4]));
    EXPECT_EQ(pinEvents(), pinsBefore + 1);
    deliver(2, Packet::Goodbye{sessionOf(2)});
    auto later = hello(5, phones[4]);
    EXPECT_EQ(later.status, WelcomeStatus::accepted);
    EXPECT_EQ(later.playerNumber, 2) << "the lowest free number";
}

TEST_F(Admission, ConnectionTakingAnotherIdentityReleasesTheOldOne) {
    Phone first, second;
    sendState(1, join(1, first), 1, pressing(ControllerButton::south));
    ASSERT_EQ(keyboard.states.count(first.device), 1u);
    second.name = "";
    EXPECT_EQ(pair(1, second).status, WelcomeStatus::accepted);
    EXPECT_EQ(keyboard.states.count(first.device), 0u) << "nothing held for an identity gone";
    EXPECT_EQ(keyboard.states.count(second.device), 1u);
    EXPECT_EQ(publish().at(0).clients.at(0).name, "iPhone") << "an empty name";
}

TEST_F(Admission, ForgetSaysGoodbyeRemovesAndPublishes) {
    Phone a, b;
    auto session = join(1, a);
    join(2, b);
    publish();
    server->forget(a.device);
    pump();
    EXPECT_EQ(listener.sentTo<Packet::Goodbye>(1), std::vector{Packet::Goodbye{session}});
    EXPECT_FALSE(isTrusted(a));
    EXPECT_TRUE(isTrusted(b));
    auto lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].clients.size(), 1u);
    EXPECT_EQ(lists[0].clients[0].id, b.device);
    EXPECT_EQ(hello(3, a).status, WelcomeStatus::pinRequired);
}

// Guessing a four-digit PIN at network speed must not succeed: the fifth wrong try from any
// phone replaces the PIN and pauses every PIN check, for longer each time.
TEST_F(Admission, FiveWrongPINsReplaceThePINAndPauseGuessingWithGrowingPauses) {
    // Had the PIN-less hello counted, four wrong PINs would now replace the PIN.
    hello(101, guessers[0]);
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 1);
    EXPECT_TRUE(log->lines().empty()) << "refusals are not logged";
    // A new PIN on request starts the count again.
    server->regeneratePIN();
    pump();
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 2);
    wrongTries(1);
    EXPECT_EQ(pinEvents(), 3);
    EXPECT_EQ(eventsOf<HostEvent::PairingPause>(), std::vector{HostEvent::PairingPause{30s}});
    // Even the right PIN is refused unseen during the pause, and refusals there do not count.
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(hello(101, guessers[0], currentPIN()).status, WelcomeStatus::pinIncorrect);
    }
    EXPECT_EQ(pinEvents(), 3);
    EXPECT_EQ(eventsOf<HostEvent::PairingPause>().size(), 1u) << "reported once per pause";

    clock.advance(30s);
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 3) << "counting started afresh at the new PIN";
    wrongTries(1);
    EXPECT_EQ(lastPause(), 60s);
    clock.advance(59s);
    Phone owner;
    EXPECT_EQ(hello(3, owner, currentPIN()).status, WelcomeStatus::pinIncorrect);
    clock.advance(1s);
    EXPECT_EQ(pair(3, owner).status, WelcomeStatus::accepted);
    EXPECT_EQ(lastPause(), std::nullopt);
    // The successful pairing reset the growth.
    wrongTries(5);
    EXPECT_EQ(lastPause(), 30s);
}

TEST_F(Admission, PINPauseIsCappedAtADayEndedByANewPINAndSparesTrustedPhones) {
    Phone trusted, newcomer;
    deliver(2, Packet::Goodbye{join(2, trusted)});
    for (int round = 0; round < 15; ++round) {
        clock.advance(24h);
        wrongTries(5);
    }
    auto pauses = eventsOf<HostEvent::PairingPause>();
    ASSERT_EQ(pauses.size(), 15u) << "pauses that ran out end without an event";
    EXPECT_EQ(pauses[11].length, 61440s);
    EXPECT_EQ(pauses[12].length, 86400s);
    EXPECT_EQ(pauses[14].length, 86400s);
    EXPECT_EQ(hello(3, trusted, wrongPIN()).status, WelcomeStatus::accepted);
    EXPECT_EQ(hello(4, newcomer, currentPIN()).status, WelcomeStatus::pinIncorrect);

    server->regeneratePIN();
    pump();
    EXPECT_EQ(lastPause(), std::nullopt);
    EXPECT_EQ(pair(4, newcomer).status, WelcomeStatus::accepted);
    // The new PIN also reset the growth.
    wrongTries(5);
    EXPECT_EQ(lastPause(), 30s);
}

} // namespace
