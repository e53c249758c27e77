#include <limits>

#include <gtest/gtest.h>

#include "protocol/ButtonSet.h"
#include "protocol/ControllerState.h"
#include "protocol/Uuid.h"

using namespace jolto;

TEST(ControllerButton, RawValuesMapToCasesAndBackOnlyInRange) {
    EXPECT_EQ(controllerButtonFromRaw(0), ControllerButton::south);
    EXPECT_EQ(controllerButtonFromRaw(18), ControllerButton::touchpad);
    EXPECT_EQ(controllerButtonFromRaw(19), std::nullopt);
    EXPECT_EQ(controllerButtonFromRaw(255), std::nullopt);
    EXPECT_EQ(controllerButtonFromRaw(-1), std::nullopt);
    for (std::size_t i = 0; i < allControllerButtons.size(); ++i) {
        EXPECT_EQ(rawValue(allControllerButtons[i]), i);
    }
    EXPECT_EQ(displayName(ControllerButton::select), "Select / View");
    EXPECT_EQ(shortLabel(ControllerButton::dpadLeft), "\u2190");
    EXPECT_EQ(shortLabel(ControllerButton::touchpad), "Pad");
}

TEST(ButtonSet, WorksOnTheWordAndListsOnlyAssignedBitsInOrder) {
    EXPECT_EQ(ButtonSet(1u | 1u << 18 | 1u << 25).pressed(),
              (std::vector{ControllerButton::south, ControllerButton::touchpad}));
    EXPECT_TRUE(ButtonSet(0xFFF80000u).pressed().empty());
    EXPECT_EQ(ButtonSet(0xFFFFFFFFu).pressed(),
              std::vector(allControllerButtons.begin(), allControllerButtons.end()));
    EXPECT_NE(ButtonSet(0b10u), ButtonSet(0b10u | 1u << 25)) << "unassigned bits count";
    EXPECT_TRUE(ButtonSet(1u << 13).contains(ControllerButton::dpadRight));
    EXPECT_FALSE(ButtonSet(1u << 12).contains(ControllerButton::dpadRight));
    ButtonSet a{ControllerButton::south, ControllerButton::east};
    ButtonSet b{ControllerButton::east, ControllerButton::west};
    EXPECT_EQ(a.unionWith(b).rawValue(), 0b111u);
    EXPECT_EQ(a.intersection(b).rawValue(), 0b010u);
    EXPECT_EQ(a.symmetricDifference(b).rawValue(), 0b101u);
    EXPECT_EQ(a.subtracting(b).rawValue(), 0b001u);
    EXPECT_TRUE(ButtonSet{ControllerButton::east}.isSubset(a));
    EXPECT_FALSE(a.isDisjoint(b));
    EXPECT_EQ(ButtonSet::unionOf({}), ButtonSet());
    EXPECT_EQ(ButtonSet::unionOf({a, b}), a.unionWith(b));
}

TEST(ControllerState, FloatsCompareAsFloats) {
    ControllerState a;
    ControllerState b;
    a.leftTrigger = 0.5f;
    b.leftTrigger = 0.50000006f;
    EXPECT_NE(a, b);

    b.leftTrigger = 0.5f;
    b.rightStick.y = -0.0f;
    EXPECT_EQ(a, b) << "-0 equals 0";
    a.gyroAim.x = std::numeric_limits<float>::quiet_NaN();
    ControllerState copy = a;
    EXPECT_NE(a, copy) << "NaN equals nothing";
}

TEST(Uuid, TextRoundTripsUpperCaseAndRejectsMalformedText) {
    auto id = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(id->bytes[0], 0xE6);
    EXPECT_EQ(id->bytes[15], 0x5F);
    EXPECT_FALSE(Uuid::parse("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5G"));
    EXPECT_FALSE(Uuid::parse("E621E1F8-C36C-495A-93FC_0C247A3E6E5F"));
    auto r = Uuid::random();
    EXPECT_EQ(Uuid::parse(r.string()), r);
    EXPECT_NE(Uuid::random(), r);
    EXPECT_EQ(r.bytes[6] >> 4, 4);
}
