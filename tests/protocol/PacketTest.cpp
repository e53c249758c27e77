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
    const Bytes hello = {'Z',  'E',  'V',  'C',  1,    1,    0x00, 0x11, 0x22, 0x33,
                         0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
                         0xEE, 0xFF, 0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                         0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F}; // device id, then secret
    const struct {
        Packet packet;
        Bytes bytes;
    } cases[] = {
        {Packet::Hello{deviceA, secretA, 42, "Ab"}, concat(hello, {42, 0, 2, 'A', 'b'})},
        {Packet::Hello{deviceA, secretA, std::nullopt, ""}, concat(hello, {0xFF, 0xFF, 0})},
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
        EXPECT_EQ(encoded(c.packet), c.bytes);
        EXPECT_EQ(decode(c.bytes), c.packet) << testing::PrintToString(c.bytes);
    }
}

TEST(PacketEncoding, ClampsRoundsHalvesAwayAndWritesNonFiniteAsZero) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // The gyro field is written only when the aim is not zero.
    const struct {
        StickVector gyro;
        Bytes tail;
    } gyros[] = {{{0.0f, -0.0f}, {}},
                 {{0.0f, 0.0004f}, {0, 0, 0, 0}},
                 {{nan, 0.0f}, {0, 0, 0, 0}},
                 {{40.0f, -1e30f}, {0xFF, 0x7F, 0x01, 0x80}},
                 {{inf, -inf}, {0, 0, 0, 0}}};
    for (const auto& g : gyros) {
        ControllerState s;
        s.gyroAim = g.gyro;
        const auto bytes = encoded(Packet::State{1, 1, s});
        EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.end()), g.tail) << g.gyro.x << "," << g.gyro.y;
    }
    const std::pair<float, int> axes[] = {{-1.0f, -32767}, {-7.0f, -32767}, {1.0f, 32767},
                                          {0.5f, 16384},   {-0.5f, -16384}, {inf, 0},
                                          {nan, 0}};
    for (auto [in, out] : axes) {
        EXPECT_EQ(encodeStickAxis(in), out) << in;
    }
    const std::pair<float, int> levels[] = {
        {1.5f, 255}, {-0.2f, 0}, {nan, 0}, {0.3f, 77}, {0.1f, 26}};
    for (auto [in, out] : levels) {
        EXPECT_EQ(encodeLevel(in), out) << in;
    }
}

TEST(PacketEncoding, StringsAreCutToSixtyFourBytesOnWholeCharacters) {
    // A family emoji is one character of 25 bytes: three fit in 75, so two survive.
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F"
                               "\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
    const std::pair<std::string, std::string> names[] = {
        {std::string(70, 'a'), std::string(64, 'a')},
        {std::string(63, 'a') + "\xC3\xA9", std::string(63, 'a')},
        {family + family + family, family + family},
        {std::string(62, 'a') + "e\xCC\x81", std::string(62, 'a')}, // e + combining accent
        {"", ""}};
    for (const auto& [name, cut] : names) {
        auto bytes = encoded(Packet::Hello{deviceA, secretA, std::nullopt, name});
        EXPECT_EQ(bytes[40], bytes.size() - 41);
        EXPECT_EQ(std::string(bytes.begin() + 41, bytes.end()), cut);
    }
}

TEST(PacketDecoding, RefusesMalformedDatagrams) {
    const Bytes fiveBytes = {'Z', 'E', 'V', 'C', 1};
    const Bytes wrongMagic = concat({'Z', 'E', 'V', 'D', 1, 4}, Bytes(12, 0));
    const Bytes version2 = concat(header(4, 2), Bytes(12, 0));
    auto hello = encoded(Packet::Hello{deviceA, secretA, 1234, "abc"});
    hello[40] = 4; // the name's length points past the end
    auto welcome = encoded(Packet::Welcome{WelcomeStatus::versionMismatch, 0, 0, "h"});
    welcome[6] = 5; // no such status
    for (const Bytes& bad : {fiveBytes, wrongMagic, version2, concat(header(0), Bytes(40, 0)),
                             concat(header(8), Bytes(40, 0)), Bytes{}, hello, welcome,
                             concat(header(3), Bytes(21, 0))}) {
        EXPECT_FALSE(decode(bad)) << testing::PrintToString(bad);
    }
    EXPECT_EQ(peekVersion(fiveBytes), std::nullopt);
    EXPECT_EQ(peekVersion(wrongMagic), std::nullopt);
    EXPECT_EQ(peekVersion(version2), 2);
    EXPECT_EQ(peekVersion(header(99)), 1);
}

TEST(PacketDecoding, ConvertsWireValuesGyroLengthsAndPins) {
    // left x -32768, left y -32767, right x 32767, right y 0, triggers 128 and 255, gyro -32768
    auto p =
        decode(concat(header(3), {1,    0,    0,    0,    1,    0, 0, 0,   0,   0,    0,    0, 0x00,
                                  0x80, 0x01, 0x80, 0xFF, 0x7F, 0, 0, 128, 255, 0x00, 0x80, 1, 0}));
    ControllerState expected;
    expected.leftStick = {-1.0f, -1.0f};
    expected.rightStick = {1.0f, 0.0f};
    expected.leftTrigger = 128.0f / 255.0f;
    expected.rightTrigger = 1.0f;
    expected.gyroAim = {-32.768f, 0.001f};
    ASSERT_EQ(p, Packet::State({1, 1, expected}));
    // -32.768 is on the wire but outside what the encoder writes: it comes back as -32.767.
    const auto again = encoded(*p);
    EXPECT_EQ(Bytes(again.begin() + 28, again.begin() + 30), (Bytes{0x01, 0x80}));

    // The gyro field needs all four of its bytes; more are ignored.
    for (std::size_t size : {28u, 29u, 30u, 31u}) {
        auto p = decode(std::span(again).first(size));
        ASSERT_TRUE(p) << size;
        EXPECT_EQ(p->get<Packet::State>()->state.gyroAim, StickVector{}) << size;
    }
    EXPECT_EQ(decode(concat(again, {0xAA, 0xBB, 0xCC})), decode(again)) << "longer";

    auto hello = encoded(Packet::Hello{deviceA, secretA, std::nullopt, "Phone"});
    const std::tuple<std::uint8_t, std::uint8_t, std::optional<std::uint16_t>> pins[] = {
        {0, 0, 0}, {0x10, 0x27, 10000}, {0xFF, 0xFF, std::nullopt}};
    for (auto [low, high, pin] : pins) {
        hello[38] = low;
        hello[39] = high;
        EXPECT_EQ(decode(hello)->get<Packet::Hello>()->pin, pin) << int(low);
    }
}

TEST(PacketDecoding, StringsAreReadWholeAndRepaired) {
    // Only the encoder cuts at 64 bytes: the wire allows 255, and all of it is read.
    auto hello = encoded(Packet::Hello{deviceA, secretA, 1234, ""});
    hello.back() = 255;
    hello.insert(hello.end(), 255, 'n');
    EXPECT_EQ(decode(hello)->get<Packet::Hello>()->name, std::string(255, 'n'));
    hello[41] = 0xFF;
    EXPECT_EQ(decode(hello)->get<Packet::Hello>()->name, "\xEF\xBF\xBD" + std::string(254, 'n'));
    EXPECT_EQ(decodeUtf8Lossy("a\xE2\x82"), "a\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8Lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x98\x80!"), "\xF0\x9F\x98\x80!");
}

TEST(PacketRoundTrip, EveryKindSurvivesOnWireSteps) {
    std::mt19937 rng(1234);
    auto u32 = [&] { return static_cast<std::uint32_t>(rng()); };
    auto step = [&](float scale) {
        return static_cast<float>(static_cast<int>(rng() % 65535) - 32767) / scale;
    };
    auto level = [&] { return static_cast<float>(rng() % 256) / 255.0f; };
    for (int i = 0; i < 2000; ++i) {
        ControllerState s;
        s.buttons = ButtonSet(u32());
        s.leftStick = {step(32767.0f), step(32767.0f)};
        s.rightStick = {step(32767.0f), step(32767.0f)};
        s.leftTrigger = level();
        s.rightTrigger = level();
        s.gyroAim = i % 2 ? StickVector{step(1000.0f), step(1000.0f)} : StickVector{};
        const std::optional<std::uint16_t> pin;
        const Packet packets[] = {
            Packet::State{u32(), u32(), s},
            Packet::Hello{Uuid::random(), Uuid::random(),
                          i % 3 ? std::optional<std::uint16_t>(rng() % 10000) : pin,
                          std::string(rng() % 65, 'n')},
            Packet::Welcome{static_cast<WelcomeStatus>(rng() % 5), u32(),
                            static_cast<std::uint8_t>(rng()), "Living room PC \xF0\x9F\x8E\xAE"},
            Packet::Ping{u32(), (std::uint64_t{rng()} << 32) | rng()},
            Packet::Pong{~std::uint64_t{0} - rng()},
            Packet::Goodbye{u32()},
            Packet::Rumble{u32(), level(), level(), static_cast<std::uint16_t>(rng())},
        };
        for (const auto& p : packets) {
            ASSERT_EQ(decode(encoded(p)), p) << "kind " << p.value.index() << " iteration " << i;
        }
    }
}

TEST(ByteReader, RefusesReadsPastTheEndAndKeepsItsOffset) {
    const Bytes bytes = {1, 2, 3};
    ByteReader r(bytes);
    EXPECT_EQ(r.readUInt16(), 0x0201);
    EXPECT_THROW(r.readUInt16(), ByteReader::OutOfBounds);
    EXPECT_THROW(r.read(-1), ByteReader::OutOfBounds);
    EXPECT_EQ(r.offset, 2);
    EXPECT_EQ(r.read(1)[0], 3);
    EXPECT_EQ(r.read(0).size(), 0u);
}
