#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "protocol/ByteReader.h"
#include "protocol/Packet.h"
#include "protocol/Utf8.h"

using namespace jolto;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes header(std::uint8_t type, std::uint8_t version = 1) {
    return {'Z', 'E', 'V', 'C', version, type};
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Uuid deviceA = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
const Uuid secretA = *Uuid::parse("F0E1D2C3-B4A5-9687-7869-5A4B3C2D1E0F");

Packet::State stateWith(std::uint32_t session, std::uint32_t sequence, ControllerState s) {
    return Packet::State{session, sequence, s};
}

const ControllerState& stateOf(const std::optional<Packet>& p) {
    return p->get<Packet::State>()->state;
}

} // namespace

// One datagram of each kind, written out byte by byte from the format table, both ways: a
// mistake made alike in the encoder and the decoder (two fields swapped, a UUID reversed) still
// breaks the bytes a real phone sends.
TEST(PacketWire, EveryKindHasItsLiteralBytes) {
    ControllerState state;
    state.buttons.insert(ControllerButton::south);
    ControllerState moved;
    moved.buttons = ButtonSet(0x00040201);
    moved.leftStick = {-1.0f, 16384.0f / 32767.0f};
    moved.rightStick = {1.0f, 0};
    moved.leftTrigger = 128.0f / 255.0f;
    moved.rightTrigger = 1.0f;
    moved.gyroAim = {0.001f, -2.5f};
    const Bytes device = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const Bytes secret = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                          0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};
    const struct {
        Packet packet;
        Bytes bytes;
    } cases[] = {
        {Packet::Hello{deviceA, secretA, 42, "Ab"},
         concat(concat(concat(header(1), device), secret), {42, 0, 2, 'A', 'b'})},
        {Packet::Hello{deviceA, secretA, std::nullopt, ""},
         concat(concat(concat(header(1), device), secret), {0xFF, 0xFF, 0})},
        {Packet::Welcome{WelcomeStatus::pinIncorrect, 0x0A0B0C0D, 3, "PC"},
         concat(header(2), {2, 0x0D, 0x0C, 0x0B, 0x0A, 3, 2, 'P', 'C'})},
        {Packet::State{1, 2, state},
         concat(header(3), {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        {Packet::State{0x01020304, 0xFFFFFFFE, moved},
         concat(header(3),
                {4,    3,    2,    1,    0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x04, 0x00, 0x01,
                 0x80, 0x00, 0x40, 0xFF, 0x7F, 0x00, 0x00, 128,  255,  0x01, 0x00, 0x3C, 0xF6})},
        {Packet::Ping{0x01020304, 5}, concat(header(4), {4, 3, 2, 1, 5, 0, 0, 0, 0, 0, 0, 0})},
        {Packet::Pong{0x8877665544332211},
         concat(header(5), {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
        {Packet::Goodbye{0xDEADBEEF}, concat(header(6), {0xEF, 0xBE, 0xAD, 0xDE})},
        {Packet::Rumble{1, 77.0f / 255.0f, 26.0f / 255.0f, 200},
         concat(header(7), {1, 0, 0, 0, 77, 26, 200, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(encoded(c.packet), c.bytes);
        const auto back = decode(c.bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, c.packet);
    }
}

TEST(PacketEncoding, GyroIsWrittenOnlyWhenNotZero) {
    ControllerState s;
    s.gyroAim = {0.0f, -0.0f};
    EXPECT_EQ(encoded(stateWith(1, 1, s)).size(), 28u);

    s.gyroAim = {0.0f, 0.0004f};
    auto bytes = encoded(stateWith(1, 1, s));
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.end()), (Bytes{0, 0, 0, 0}));

    s.gyroAim = {std::numeric_limits<float>::quiet_NaN(), 0.0f};
    bytes = encoded(stateWith(1, 1, s));
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.end()), (Bytes{0, 0, 0, 0}));

    s.gyroAim = {40.0f, -1e30f};
    bytes = encoded(stateWith(1, 1, s));
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.end()), (Bytes{0xFF, 0x7F, 0x01, 0x80}));

    // Infinity is not a very large number: like NaN it is written as 0, not clamped.
    s.gyroAim = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    bytes = encoded(stateWith(1, 1, s));
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.end()), (Bytes{0, 0, 0, 0}));
}

TEST(PacketEncoding, AxesAndLevelsClampAndRoundHalvesAwayFromZero) {
    EXPECT_EQ(encodeStickAxis(-1.0f), -32767);
    EXPECT_EQ(encodeStickAxis(-7.0f), -32767);
    EXPECT_EQ(encodeStickAxis(1.0f), 32767);
    EXPECT_EQ(encodeStickAxis(0.5f), 16384);
    EXPECT_EQ(encodeStickAxis(-0.5f), -16384);
    EXPECT_EQ(encodeStickAxis(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(encodeStickAxis(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(encodeLevel(1.5f), 255);
    EXPECT_EQ(encodeLevel(-0.2f), 0);
    EXPECT_EQ(encodeLevel(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(encodeLevel(0.3f), 77);
    EXPECT_EQ(encodeLevel(0.1f), 26);
}

TEST(PacketEncoding, StringsAreCutToSixtyFourBytesOnWholeCharacters) {
    auto nameBytes = [](const std::string& name) {
        auto bytes = encoded(Packet::Hello{deviceA, secretA, std::nullopt, name});
        EXPECT_EQ(bytes[40], bytes.size() - 41);
        return std::string(bytes.begin() + 41, bytes.end());
    };
    EXPECT_EQ(nameBytes(std::string(70, 'a')), std::string(64, 'a'));
    EXPECT_EQ(nameBytes(std::string(63, 'a') + "\xC3\xA9"), std::string(63, 'a'));
    // A family emoji is one character of 25 bytes: three fit in 75, so two survive.
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F"
                               "\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
    EXPECT_EQ(nameBytes(family + family + family), family + family);
    // e + combining acute accent is one character.
    EXPECT_EQ(nameBytes(std::string(62, 'a') + "e\xCC\x81"), std::string(62, 'a'));
    EXPECT_EQ(nameBytes(""), "");
}

TEST(PacketDecoding, RefusesMalformedHeaders) {
    Bytes fiveBytes = {'Z', 'E', 'V', 'C', 1};
    Bytes wrongMagic = concat({'Z', 'E', 'V', 'D', 1, 4}, Bytes(12, 0));
    Bytes version2 = concat(header(4, 2), Bytes(12, 0));
    EXPECT_FALSE(decode(fiveBytes));
    EXPECT_FALSE(decode(wrongMagic));
    EXPECT_FALSE(decode(version2));
    EXPECT_EQ(peekVersion(fiveBytes), std::nullopt);
    EXPECT_EQ(peekVersion(wrongMagic), std::nullopt);
    EXPECT_EQ(peekVersion(version2), 2);
    EXPECT_EQ(peekVersion(header(99)), 1);
    EXPECT_FALSE(decode(concat(header(0), Bytes(40, 0))));
    EXPECT_FALSE(decode(concat(header(8), Bytes(40, 0))));
    EXPECT_FALSE(decode(Bytes{}));
}

TEST(PacketDecoding, StateGyroNeedsFourTrailingBytes) {
    ControllerState s;
    s.gyroAim = {1.5f, -2.0f};
    auto full = encoded(stateWith(9, 3, s));
    ASSERT_EQ(full.size(), 32u);
    for (std::size_t size : {28u, 29u, 30u, 31u}) {
        auto p = decode(std::span(full).first(size));
        ASSERT_TRUE(p) << size;
        EXPECT_EQ(stateOf(p).gyroAim, StickVector{}) << size;
    }
    EXPECT_EQ(stateOf(decode(full)).gyroAim, (StickVector{1.5f, -2.0f}));
    auto longer = concat(full, {0xAA, 0xBB, 0xCC});
    EXPECT_EQ(decode(longer), decode(full));
    EXPECT_FALSE(decode(std::span(full).first(27)));
}

TEST(PacketDecoding, ConvertsWireValues) {
    Bytes body = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    // left x -32768, left y -32767, right x 32767, right y 0, triggers 128 and 255, gyro -32768
    body.insert(body.end(), {0x00, 0x80, 0x01, 0x80, 0xFF, 0x7F, 0, 0, 128, 255, 0x00, 0x80, 1, 0});
    auto p = decode(concat(header(3), body));
    ASSERT_TRUE(p);
    const auto& s = stateOf(p);
    EXPECT_EQ(s.leftStick.x, -1.0f);
    EXPECT_EQ(s.leftStick.y, -1.0f);
    EXPECT_EQ(s.rightStick.x, 1.0f);
    EXPECT_EQ(s.leftTrigger, 128.0f / 255.0f);
    EXPECT_EQ(s.rightTrigger, 1.0f);
    EXPECT_EQ(s.gyroAim.x, -32.768f);
    EXPECT_EQ(s.gyroAim.y, 0.001f);

    // -32.768 is on the wire but outside what the encoder writes: it comes back as -32.767.
    auto reencoded = encoded(*p);
    EXPECT_EQ(reencoded[28], 0x01);
    EXPECT_EQ(reencoded[29], 0x80);
}

TEST(PacketDecoding, HelloPinAndWelcomeStatus) {
    auto hello = encoded(Packet::Hello{deviceA, secretA, std::nullopt, "Phone"});
    EXPECT_EQ(hello[38], 0xFF);
    EXPECT_EQ(hello[39], 0xFF);
    EXPECT_EQ(decode(hello)->get<Packet::Hello>()->pin, std::nullopt);
    hello[38] = 0;
    hello[39] = 0;
    EXPECT_EQ(decode(hello)->get<Packet::Hello>()->pin, 0);
    hello[38] = 0x10;
    hello[39] = 0x27;
    EXPECT_EQ(decode(hello)->get<Packet::Hello>()->pin, 10000);

    auto welcome = encoded(Packet::Welcome{WelcomeStatus::versionMismatch, 0, 0, "h"});
    EXPECT_EQ(decode(welcome)->get<Packet::Welcome>()->status, WelcomeStatus::versionMismatch);
    welcome[6] = 5;
    EXPECT_FALSE(decode(welcome));
}

TEST(PacketDecoding, StringsAreCheckedAndRepaired) {
    auto hello = encoded(Packet::Hello{deviceA, secretA, 1234, "abc"});
    hello[40] = 4; // the length points past the end
    EXPECT_FALSE(decode(hello));

    // Only the encoder cuts at 64 bytes: the wire allows 255, and all of it is read.
    auto longName = concat(Bytes(hello.begin(), hello.begin() + 40), {255});
    longName.insert(longName.end(), 255, 'n');
    EXPECT_EQ(decode(longName)->get<Packet::Hello>()->name, std::string(255, 'n'));

    hello[40] = 3;
    hello[41] = 0xFF;
    EXPECT_EQ(decode(hello)->get<Packet::Hello>()->name, "\xEF\xBF\xBD"
                                                         "bc");
    EXPECT_EQ(decodeUtf8Lossy("a\xE2\x82"), "a\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8Lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x98\x80!"), "\xF0\x9F\x98\x80!");
}

TEST(PacketRoundTrip, EveryKindSurvivesOnWireSteps) {
    std::mt19937 rng(1234);
    auto axis = [&] {
        return static_cast<float>(static_cast<int>(rng() % 65535) - 32767) / 32767.0f;
    };
    auto level = [&] { return static_cast<float>(rng() % 256) / 255.0f; };
    auto gyro = [&] {
        return static_cast<float>(static_cast<int>(rng() % 65535) - 32767) / 1000.0f;
    };
    for (int i = 0; i < 2000; ++i) {
        ControllerState s;
        s.buttons = ButtonSet(static_cast<std::uint32_t>(rng()));
        s.leftStick = {axis(), axis()};
        s.rightStick = {axis(), axis()};
        s.leftTrigger = level();
        s.rightTrigger = level();
        if (i % 2) {
            s.gyroAim = {gyro(), gyro()};
        }
        std::vector<Packet> packets = {
            stateWith(static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng()), s),
            Packet::Hello{
                Uuid::random(), Uuid::random(),
                i % 3 ? std::optional<std::uint16_t>(static_cast<std::uint16_t>(rng() % 10000))
                      : std::nullopt,
                std::string(rng() % 65, 'n')},
            Packet::Welcome{static_cast<WelcomeStatus>(rng() % 5),
                            static_cast<std::uint32_t>(rng()), static_cast<std::uint8_t>(rng()),
                            "Living room PC \xF0\x9F\x8E\xAE"},
            Packet::Ping{static_cast<std::uint32_t>(rng()), (std::uint64_t{rng()} << 32) | rng()},
            Packet::Pong{~std::uint64_t{0} - rng()},
            Packet::Goodbye{static_cast<std::uint32_t>(rng())},
            Packet::Rumble{static_cast<std::uint32_t>(rng()), level(), level(),
                           static_cast<std::uint16_t>(rng())},
        };
        for (const auto& p : packets) {
            auto back = decode(encoded(p));
            ASSERT_TRUE(back);
            ASSERT_EQ(*back, p) << "kind " << p.value.index() << " iteration " << i;
        }
    }
}

TEST(ByteReader, RefusesReadsPastTheEndAndKeepsItsOffset) {
    Bytes bytes = {1, 2, 3};
    ByteReader r(bytes);
    EXPECT_EQ(r.readUInt16(), 0x0201);
    EXPECT_THROW(r.readUInt16(), ByteReader::OutOfBounds);
    EXPECT_EQ(r.offset, 2);
    EXPECT_THROW(r.read(-1), ByteReader::OutOfBounds);
    EXPECT_EQ(r.read(1)[0], 3);
    EXPECT_EQ(r.read(0).size(), 0u);
}
