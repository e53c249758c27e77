#include <array>
#include <limits>

#include <gtest/gtest.h>

#include "protocol/ButtonSet.h"
#include "protocol/ByteReader.h"
#include "protocol/Packet.h"
#include "protocol/Utf8.h"

using namespace jolto;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes header(std::uint8_t type, const Bytes& body = {}, std::uint8_t version = 1) {
    Bytes bytes = {'Z', 'E', 'V', 'C', version, type};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

const Uuid deviceA = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
const Uuid secretA = *Uuid::parse("F0E1D2C3-B4A5-9687-7869-5A4B3C2D1E0F");

// A hello of deviceA and secretA, `tail` (PIN, name) after the two ids.
Bytes hello(const Bytes& tail) {
    Bytes body = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                  0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5,
                  0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};
    body.insert(body.end(), tail.begin(), tail.end());
    return header(1, body);
}

} // namespace

// One datagram of each kind both ways, every field with its high byte set: a mistake made alike
// in encoder and decoder (fields swapped, a field narrowed, a UUID reversed) still breaks them.
TEST(PacketWire, EveryKindHasItsLiteralBytesAndTheGyroIsClamped) {
    // Bit 31 belongs to no button but travels.
    const ControllerState s{
        ButtonSet(0x80040201), {-1.0f, 16384.0f / 32767.0f}, {1.0f, 0}, 128.0f / 255.0f, 1.0f,
        {0.001f, -2.5f}};
    const struct {
        Packet packet;
        Bytes bytes;
    } cases[] = {
        {Packet::Hello{deviceA, secretA, 0x1234, "Ab"}, hello({0x34, 0x12, 2, 'A', 'b'})},
        {Packet::Hello{deviceA, secretA, 0, ""}, hello({0, 0, 0})},
        {Packet::Hello{deviceA, secretA, std::nullopt, ""}, hello({0xFF, 0xFF, 0})},
        {Packet::Welcome{WelcomeStatus::versionMismatch, 0x0A0B0C0D, 3, "PC"},
         header(2, {4, 0x0D, 0x0C, 0x0B, 0x0A, 3, 2, 'P', 'C'})},
        {Packet::State{0x01020304, 0xFFFFFFFE, s},
         header(3, {4,    3,    2,    1,    0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x04, 0x80, 0x01,
                    0x80, 0x00, 0x40, 0xFF, 0x7F, 0x00, 0x00, 128,  255,  0x01, 0x00, 0x3C, 0xF6})},
        {Packet::Ping{0x01020304, 0x8877665544332211},
         header(4, {4, 3, 2, 1, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
        {Packet::Pong{0xF0E1D2C3B4A59687},
         header(5, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0})},
        {Packet::Goodbye{0xDEADBEEF}, header(6, {0xEF, 0xBE, 0xAD, 0xDE})},
        {Packet::Rumble{0xA1B2C3D4, 77.0f / 255.0f, 26.0f / 255.0f, 0xBEEF},
         header(7, {0xD4, 0xC3, 0xB2, 0xA1, 77, 26, 0xEF, 0xBE})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoded(c.packet), c.bytes);
        EXPECT_EQ(decode(c.bytes), c.packet) << testing::PrintToString(c.bytes);
    }

    // The gyro is clamped and rounded, and left out when zero; the gamepad report pins the sticks'.
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
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
}

TEST(PacketStrings, AreCutToSixtyFourBytesOnWholeCharactersButReadWholeAndRepaired) {
    // A family emoji is one character of 25 bytes: three fit in 75, so two survive.
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F"
                               "\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
    const std::pair<std::string, std::string> names[] = {
        {std::string(70, 'a'), std::string(64, 'a')},
        {std::string(63, 'a') + "\xC3\xA9", std::string(63, 'a')},
        {family + family + family, family + family},
        {std::string(62, 'a') + "e\xCC\x81", std::string(62, 'a')}}; // e + combining accent
    for (const auto& [name, cut] : names) {
        auto bytes = encoded(Packet::Hello{deviceA, secretA, std::nullopt, name});
        EXPECT_EQ(bytes[40], bytes.size() - 41);
        EXPECT_EQ(std::string(bytes.begin() + 41, bytes.end()), cut);
    }
    // Only the encoder cuts at 64 bytes: the wire allows 255, and all of it is read.
    auto bytes = hello({0xFF, 0xFF, 255});
    bytes.insert(bytes.end(), 255, 'n');
    EXPECT_EQ(decode(bytes)->get<Packet::Hello>()->name, std::string(255, 'n'));
    bytes[41] = 0xFF;
    EXPECT_EQ(decode(bytes)->get<Packet::Hello>()->name, "\xEF\xBF\xBD" + std::string(254, 'n'));
    EXPECT_EQ(decodeUtf8Lossy("a\xE2\x82"), "a\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8Lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x98\x80!"), "\xF0\x9F\x98\x80!");
}

TEST(PacketDecoding, RefusesMalformedDatagramsAndConvertsWireValues) {
    const Bytes wrongMagic = {'Z', 'E', 'V', 'D', 1, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes name = hello({0xFF, 0xFF, 4, 'a', 'b', 'c'}); // the length points past the end
    for (const Bytes& bad : {Bytes{'Z', 'E', 'V', 'C', 1}, wrongMagic, header(4, Bytes(12, 0), 2),
                             header(0, Bytes(40, 0)), header(8, Bytes(40, 0)), Bytes{}, name,
                             header(2, {5, 0, 0, 0, 0, 0, 1, 'h'}), header(3, Bytes(21, 0))}) {
        EXPECT_FALSE(decode(bad)) << testing::PrintToString(bad);
    }
    EXPECT_EQ(peekVersion(wrongMagic), std::nullopt);
    EXPECT_EQ(peekVersion(header(99)), 1);

    // left x -32768, left y -32767, right x 32767, right y 0, triggers 128 and 255, gyro -32768
    const auto bytes = header(3, {1,    0,    0,    0,    1,    0, 0, 0,   0,   0,    0,    0, 0x00,
                                  0x80, 0x01, 0x80, 0xFF, 0x7F, 0, 0, 128, 255, 0x00, 0x80, 1, 0});
    ControllerState expected{{},   {-1.0f, -1.0f},    {1.0f, 0.0f}, 128.0f / 255.0f,
                             1.0f, {-32.768f, 0.001f}};
    EXPECT_EQ(decode(bytes), Packet::State({1, 1, expected}));
    // The gyro field needs all four of its bytes; more are ignored.
    expected.gyroAim = {};
    for (std::size_t size : {28u, 31u}) {
        EXPECT_EQ(decode(std::span(bytes).first(size)), Packet::State({1, 1, expected})) << size;
    }
    auto longer = bytes;
    longer.insert(longer.end(), {0xAA, 0xBB, 0xCC});
    EXPECT_EQ(decode(longer), decode(bytes));

    // The reader refuses a read past the end and keeps its offset.
    const Bytes three = {1, 2, 3};
    ByteReader r(three);
    EXPECT_EQ(r.readUInt16(), 0x0201);
    EXPECT_THROW(r.readUInt16(), ByteReader::OutOfBounds);
    EXPECT_THROW(r.read(-1), ByteReader::OutOfBounds);
    EXPECT_EQ(r.read(1)[0], 3);
}

TEST(ControllerButton, RawValuesMapOnlyInRangeSetsWorkOnTheWordAndIdsOnTheirText) {
    EXPECT_EQ(controllerButtonFromRaw(18), ControllerButton::touchpad);
    EXPECT_EQ(controllerButtonFromRaw(-1), std::nullopt);
    EXPECT_EQ(displayName(ControllerButton::select), "Select / View");
    EXPECT_EQ(shortLabel(ControllerButton::dpadLeft), "\u2190");
    EXPECT_EQ(shortLabel(ControllerButton::touchpad), "Pad");

    // A set works on the word and lists only assigned bits, in order.
    EXPECT_EQ(ButtonSet(1u | 1u << 18 | 1u << 25).pressed(),
              (std::vector{ControllerButton::south, ControllerButton::touchpad}));
    EXPECT_TRUE(ButtonSet(0xFFF80000u).pressed().empty());
    EXPECT_EQ(ButtonSet(0xFFFFFFFFu).pressed(),
              std::vector(allControllerButtons.begin(), allControllerButtons.end()));
    const ButtonSet a{ControllerButton::south, ControllerButton::east};
    const ButtonSet b{ControllerButton::east, ControllerButton::west};
    EXPECT_EQ((std::array{a.unionWith(b), a.intersection(b), a.symmetricDifference(b),
                          a.subtracting(b), ButtonSet::unionOf({a, b}), ButtonSet::unionOf({})}),
              (std::array{ButtonSet(7), ButtonSet(2), ButtonSet(5), ButtonSet(1), ButtonSet(7),
                          ButtonSet()}));
    EXPECT_TRUE(ButtonSet{ControllerButton::east}.isSubset(a));
    EXPECT_FALSE(a.isDisjoint(b));

    // Ids refuse malformed text; random ones are of version 4.
    EXPECT_FALSE(Uuid::parse("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5G"));
    EXPECT_FALSE(Uuid::parse("E621E1F8-C36C-495A-93FC_0C247A3E6E5F"));
    EXPECT_EQ(Uuid::random().bytes[6] >> 4, 4);
}
