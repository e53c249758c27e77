// Hello admission: trust, PIN, host full, player numbers, the PIN's life and forgetting.

#include <regex>

#include "fakes/HostServerHarness.h"

using namespace jolto;
using namespace jolto::testing;
using namespace std::chrono_literals;

namespace {

class Admission : public HostServerTest {
protected:
    void SetUp() override {
        HostServerTest::SetUp();
        start();
    }

    int pinEvents() const { return static_cast<int>(eventsOf<HostEvent::Pin>().size()); }

    bool isTrusted(const Phone& phone) const {
        auto lists = eventsOf<HostEvent::Trusted>();
        if (lists.empty()) {
            return false;
        }
        for (const auto& d : lists.back().devices) {
            if (d.id == phone.device) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(Admission, StartPublishesAFourDigitPINAndTheTrustedList) {
    auto pins = eventsOf<HostEvent::Pin>();
    ASSERT_EQ(pins.size(), 1u);
    EXPECT_TRUE(std::regex_match(pins[0].pin, std::regex("[0-9]{4}")));
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), 1u);
    ASSERT_EQ(keyboard.mappings.size(), 1u);
    EXPECT_EQ(keyboard.mappings[0], KeyMapping::shooter());
}

TEST_F(Admission, UntrustedPhoneWithoutPINIsAskedForOneWithoutCountingAWrongTry) {
    Phone phone;
    auto welcome = hello(1, phone);
    EXPECT_EQ(welcome.status, WelcomeStatus::pinRequired);
    EXPECT_EQ(welcome.session, 0u);
    EXPECT_EQ(welcome.playerNumber, 0);
    EXPECT_EQ(welcome.hostName, "Test Host");
    // Had the PIN-less hello counted, four wrong PINs would now replace the PIN.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(hello(1, phone, wrongPIN()).status, WelcomeStatus::pinIncorrect);
    }
    EXPECT_EQ(pinEvents(), 1);
    EXPECT_TRUE(log->lines().empty()) << "refusals are not logged";
}

TEST_F(Admission, FifthWrongPINFromAnyPhoneReplacesThePINAndCountingStartsAfresh) {
    Phone a, b;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(hello(i % 2 ? 1 : 2, i % 2 ? a : b, wrongPIN()).status,
                      WelcomeStatus::pinIncorrect);
        }
        EXPECT_EQ(pinEvents(), 1 + round);
        EXPECT_EQ(hello(1, a, wrongPIN()).status, WelcomeStatus::pinIncorrect);
        EXPECT_EQ(pinEvents(), 2 + round);
        clock.advance(10min);
    }
    EXPECT_FALSE(isTrusted(a));
}

TEST_F(Admission, CorrectPINAdmitsTrustsAndIsUsedUp) {
    // The next draw repeats the PIN just used, which must not come back.
    forcedPINs = {7, 7, 7, 42};
    server = makeServer();
    start();
    EXPECT_EQ(eventsOf<HostEvent::Pin>().back().pin, "0007");
    Phone phone, second;
    phone.name = "Ana's phone";
    auto welcome = pair(1, phone);
    EXPECT_EQ(welcome.status, WelcomeStatus::accepted);
    EXPECT_NE(welcome.session, 0u);
    EXPECT_EQ(welcome.playerNumber, 1);
    EXPECT_EQ(welcome.hostName, "Test Host");
    EXPECT_TRUE(isTrusted(phone));
    EXPECT_EQ(pinEvents(), 3);
    EXPECT_EQ(logged("Controller Ana's phone joined as player 1"), 1);
    // The PIN admits one phone only.
    EXPECT_EQ(eventsOf<HostEvent::Pin>().back().pin, "0042");
    EXPECT_EQ(hello(2, second, 7).status, WelcomeStatus::pinIncorrect);
    // The trust was stored: it survives a server built on the same settings.
    server.reset();
    server = makeServer();
    start();
    EXPECT_TRUE(isTrusted(phone));
}

TEST_F(Admission, TrustedPhoneIsAdmittedWithoutPINAndItsWrongPINIsIgnored) {
    Phone phone;
    auto first = pair(1, phone);
    deliver(1, Packet::Goodbye{first.session});
    auto trustedBefore = eventsOf<HostEvent::Trusted>().size();

    phone.name = "New name";
    auto again = hello(2, phone, wrongPIN());
    EXPECT_EQ(again.status, WelcomeStatus::accepted);
    auto lists = eventsOf<HostEvent::Trusted>();
    ASSERT_EQ(lists.size(), trustedBefore + 1);
    ASSERT_EQ(lists.back().devices.size(), 1u);
    EXPECT_EQ(lists.back().devices[0].name, "New name") << "the trust entry follows the phone";
    // The trusted phone's wrong PIN did not count: four more wrong ones keep the PIN.
    Phone stranger;
    for (int i = 0; i < 4; ++i) {
        hello(3, stranger, wrongPIN());
    }
    EXPECT_EQ(pinEvents(), 2);
}

TEST_F(Admission, KnownIdWithAnotherSecretMustPairAgainAndReplacesTheSecret) {
    Phone phone;
    auto first = pair(1, phone);
    deliver(1, Packet::Goodbye{first.session});
    Phone impostor{phone.device, Uuid::random(), "Other"};
    EXPECT_EQ(hello(2, impostor).status, WelcomeStatus::pinRequired);
    auto repaired = pair(3, impostor);
    EXPECT_EQ(repaired.status, WelcomeStatus::accepted);
    deliver(3, Packet::Goodbye{repaired.session});
    EXPECT_EQ(hello(4, phone).status, WelcomeStatus::pinRequired) << "old secret replaced";
    EXPECT_EQ(hello(5, impostor).status, WelcomeStatus::accepted);
}

TEST_F(Admission, HostFullRefusesAFifthPhoneButKeepsItsPairing) {
    Phone phones[5];
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pair(static_cast<ConnectionId>(i + 1), phones[i]).playerNumber, i + 1);
    }
    auto pinsBefore = pinEvents();
    auto welcome = pair(5, phones[4]);
    EXPECT_EQ(welcome.status, WelcomeStatus::hostFull);
    EXPECT_EQ(welcome.session, 0u);
    EXPECT_EQ(welcome.playerNumber, 0);
    EXPECT_TRUE(isTrusted(phones[4]));
    EXPECT_EQ(pinEvents(), pinsBefore + 1);
    // Once a seat frees, the now trusted phone gets in without a PIN.
    deliver(2, Packet::Goodbye{listener.sentTo<Packet::Welcome>(2).back().session});
    auto later = hello(5, phones[4]);
    EXPECT_EQ(later.status, WelcomeStatus::accepted);
    EXPECT_EQ(later.playerNumber, 2);
}

TEST_F(Admission, RepeatedHelloKeepsSessionAndPlayerAndLeavesTrustAlone) {
    Phone a, b;
    pair(1, a);
    auto first = pair(2, b);
    auto trustedBefore = eventsOf<HostEvent::Trusted>().size();
    b.name = "Renamed";
    auto again = hello(2, b);
    EXPECT_EQ(again.status, WelcomeStatus::accepted);
    EXPECT_EQ(again.session, first.session);
    EXPECT_EQ(again.playerNumber, 2);
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), trustedBefore);
    EXPECT_EQ(loggedStartingWith("Controller Renamed"), 0);
}

TEST_F(Admission, PhoneReconnectingFromANewPortReplacesItsOldConnection) {
    Phone phones[4];
    for (int i = 0; i < 4; ++i) {
        pair(static_cast<ConnectionId>(i + 1), phones[i]);
    }
    auto old = listener.sentTo<Packet::Welcome>(3).back();
    auto welcome = hello(9, phones[2]);
    EXPECT_EQ(welcome.status, WelcomeStatus::accepted) << "not refused as full by itself";
    EXPECT_EQ(welcome.playerNumber, 3);
    EXPECT_NE(welcome.session, old.session);
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{3});
    // The old connection's input was released before the new one took over.
    ASSERT_FALSE(keyboard.removed.empty());
    EXPECT_EQ(keyboard.removed.back(), phones[2].device);
    // Its old session no longer drives anything.
    auto updates = keyboard.updates.size();
    sendState(9, old.session, 1, pressing(ControllerButton::south));
    EXPECT_EQ(keyboard.updates.size(), updates);
}

TEST_F(Admission, ConnectionTakingAnotherIdentityReleasesTheOldOne) {
    Phone first, second;
    auto welcome = pair(1, first);
    sendState(1, welcome.session, 1, pressing(ControllerButton::south));
    ASSERT_EQ(keyboard.states.count(first.device), 1u);
    EXPECT_EQ(pair(1, second).status, WelcomeStatus::accepted);
    EXPECT_EQ(keyboard.states.count(first.device), 0u) << "nothing held for an identity gone";
    EXPECT_EQ(keyboard.states.count(second.device), 1u);
}

TEST_F(Admission, NewPhoneTakesTheLowestFreePlayerNumber) {
    Phone phones[4];
    for (int i = 0; i < 3; ++i) {
        pair(static_cast<ConnectionId>(i + 1), phones[i]);
    }
    deliver(2, Packet::Goodbye{listener.sentTo<Packet::Welcome>(2).back().session});
    EXPECT_EQ(pair(4, phones[3]).playerNumber, 2);
    EXPECT_EQ(logged("Controller Phone joined as player 2"), 2);
}

TEST_F(Admission, EmptyNameJoinsAsIPhone) {
    Phone phone;
    phone.name = "";
    pair(1, phone);
    EXPECT_EQ(logged("Controller iPhone joined as player 1"), 1);
    server->publishTick(clock.now());
    auto lists = eventsOf<HostEvent::Clients>();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].clients.at(0).name, "iPhone");
}

TEST_F(Admission, ForgetSaysGoodbyeRemovesAndPublishes) {
    Phone a, b;
    auto welcomeA = pair(1, a);
    pair(2, b);
    server->publishTick(clock.now());
    clearEvents();

    server->forget(a.device);
    pump();
    auto goodbyes = listener.sentTo<Packet::Goodbye>(1);
    ASSERT_EQ(goodbyes.size(), 1u);
    EXPECT_EQ(goodbyes[0].session, welcomeA.session);
    EXPECT_FALSE(isTrusted(a));
    EXPECT_TRUE(isTrusted(b));
    server->publishTick(clock.now());
    auto lists = eventsOf<HostEvent::Clients>();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].clients.size(), 1u);
    EXPECT_EQ(lists[0].clients[0].id, b.device);
    EXPECT_EQ(hello(3, a).status, WelcomeStatus::pinRequired);

    clearEvents();
    server->forget(Uuid::random());
    pump();
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), 1u);
}

TEST_F(Admission, NewPINRequestReplacesThePINAndResetsTheCount) {
    Phone phone;
    for (int i = 0; i < 4; ++i) {
        hello(1, phone, wrongPIN());
    }
    server->regeneratePIN();
    pump();
    EXPECT_EQ(pinEvents(), 2);
    for (int i = 0; i < 4; ++i) {
        hello(1, phone, wrongPIN());
    }
    EXPECT_EQ(pinEvents(), 2) << "the count started again at the new PIN";
}

// Guessing a four-digit PIN at network speed must not succeed: five wrong tries pause every
// PIN check, for longer each time.
TEST_F(Admission, FiveWrongPINsPauseGuessingWithGrowingPauses) {
    Phone guesser, owner;
    for (int i = 0; i < 5; ++i) {
        hello(1, guesser, wrongPIN());
    }
    EXPECT_EQ(logged("Pairing paused for 30 s after 5 wrong PINs"), 1);
    EXPECT_EQ(eventsOf<HostEvent::PairingPause>(),
              std::vector{HostEvent::PairingPause{std::chrono::seconds(30)}});
    // Even the right PIN is refused unseen during the pause, and refusals there do not count.
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(hello(1, guesser, currentPIN()).status, WelcomeStatus::pinIncorrect);
    }
    EXPECT_EQ(pinEvents(), 2);
    EXPECT_EQ(loggedStartingWith("Pairing paused"), 1) << "logged once per pause";

    clock.advance(30s);
    for (int i = 0; i < 5; ++i) {
        hello(1, guesser, wrongPIN());
    }
    EXPECT_EQ(logged("Pairing paused for 60 s after 5 wrong PINs"), 1);
    clock.advance(59s);
    EXPECT_EQ(hello(2, owner, currentPIN()).status, WelcomeStatus::pinIncorrect);
    clock.advance(1s);
    EXPECT_EQ(pair(2, owner).status, WelcomeStatus::accepted);
    EXPECT_EQ(eventsOf<HostEvent::PairingPause>().back(), HostEvent::PairingPause{std::nullopt});

    // The successful pairing reset the growth.
    for (int i = 0; i < 5; ++i) {
        hello(1, guesser, wrongPIN());
    }
    EXPECT_EQ(logged("Pairing paused for 30 s after 5 wrong PINs"), 2);
}

TEST_F(Admission, PINPauseIsCappedAtADayEndedByANewPINAndSparesTrustedPhones) {
    Phone guesser, trusted, newcomer;
    auto welcome = pair(2, trusted);
    deliver(2, Packet::Goodbye{welcome.session});
    for (int round = 0; round < 14; ++round) {
        for (int i = 0; i < 5; ++i) {
            hello(1, guesser, wrongPIN());
        }
        clock.advance(24h);
    }
    EXPECT_EQ(logged("Pairing paused for 61440 s after 5 wrong PINs"), 1);
    EXPECT_EQ(logged("Pairing paused for 86400 s after 5 wrong PINs"), 2);
    for (int i = 0; i < 5; ++i) {
        hello(1, guesser, wrongPIN());
    }
    EXPECT_EQ(hello(3, trusted, wrongPIN()).status, WelcomeStatus::accepted);
    EXPECT_EQ(hello(4, newcomer, currentPIN()).status, WelcomeStatus::pinIncorrect);
    auto pauses = eventsOf<HostEvent::PairingPause>();
    ASSERT_EQ(pauses.size(), 15u) << "pauses that ran out end without an event";
    EXPECT_EQ(pauses.back(), HostEvent::PairingPause{std::chrono::seconds(86400)});

    server->regeneratePIN();
    pump();
    EXPECT_EQ(eventsOf<HostEvent::PairingPause>().back(), HostEvent::PairingPause{std::nullopt});
    EXPECT_EQ(pair(4, newcomer).status, WelcomeStatus::accepted);
    // The new PIN also reset the growth.
    for (int i = 0; i < 5; ++i) {
        hello(1, guesser, wrongPIN());
    }
    EXPECT_EQ(eventsOf<HostEvent::PairingPause>().back(),
              HostEvent::PairingPause{std::chrono::seconds(30)});
}

} // namespace
