#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fakes/CapturingLogSink.h"
#include "fakes/MemorySettingsStore.h"
#include "store/TrustStore.h"

using namespace jolto;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::MatchesRegex;

namespace {

const auto uuid = [](const char* text) { return *Uuid::parse(text); };

const Uuid phoneA = uuid("0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9");
const Uuid phoneB = uuid("F0E1D2C3-B4A5-4697-8889-7A6B5C4D3E2F");
const Uuid secret1 = uuid("ABCDEF01-2345-4678-9ABC-DEF012345678");
const Uuid secret2 = uuid("ABCDEF01-2345-4678-9ABC-DEF012345679");

class TrustStoreTest : public ::testing::Test {
protected:
    MemorySettingsStore settings;
    ScopedLogCapture log;
    double clock = 700000000.25;
    TrustStore::WallClock now = [this] { return clock; };

    TrustStore loadFrom(std::string_view text) {
        settings.presetText("trustedDevices", text);
        return TrustStore::load(settings, now);
    }
    std::string stored() const {
        auto bytes = settings.data("trustedDevices");
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    std::vector<TrustedDevice> reloaded() { return TrustStore::load(settings).sortedDevices(); }
    std::vector<LogLine> trustErrors() const { return log->lines(LogLevel::error, "Trust"); }
};

} // namespace

TEST_F(TrustStoreTest, UnreadableValuesGiveAnEmptyStoreOneLineAndKeepTheBytes) {
    const char* valid = "ABCDEF01-2345-4678-9ABC-DEF012345678";
    const nlohmann::json good = {{"id", valid}, {"name", "P"}, {"secret", valid}, {"lastSeen", 1}};
    // The good entry with `field` replaced by `json`, or left out when that is empty.
    auto entryWith = [&](const char* field, const char* json) {
        nlohmann::json entry = good;
        *json ? void(entry[field] = nlohmann::json::parse(json)) : void(entry.erase(field));
        return "[" + entry.dump() + "]";
    };
    const std::string unreadable[] = {"not json",
                                      "{\"id\":\"x\"}",
                                      entryWith("secret", ""),
                                      "[" + good.dump() + ",42]",
                                      entryWith("id", "\"ABCDEF01-2345-4678-9ABC-DEF01234567\""),
                                      entryWith("name", "7"),
                                      entryWith("lastSeen", "\"1\""),
                                      entryWith("secret", "null"),
                                      std::string(100000, '[')};
    ASSERT_EQ(loadFrom("[" + good.dump() + "]").sortedDevices().size(), 1u) << "the base entry";
    for (const auto& text : unreadable) {
        SCOPED_TRACE(text.substr(0, 80));
        log->clear();
        EXPECT_TRUE(loadFrom(text).sortedDevices().empty());
        EXPECT_THAT(trustErrors(),
                    ElementsAre(Field(&LogLine::message,
                                      MatchesRegex("Couldn't read trusted devices: .+"))));
        EXPECT_EQ(stored(), text);
    }
    EXPECT_EQ(settings.writeCount(), 0u);
    log->clear();

    // Extra keys are ignored, ids may be lower case and a later duplicate wins; adding to
    // unreadable data replaces it.
    auto store =
        loadFrom(R"([{"id":"0a1b2c3d-4e5f-4061-8273-8495a6b7c8d9","name":"Old","lastSeen":5,)"
                 R"("secret":"ABCDEF01-2345-4678-9ABC-DEF012345678"},)"
                 R"({"lastSeen":9,"extra":[1],"secret":"ABCDEF01-2345-4678-9ABC-DEF012345679",)"
                 R"("name":"New","id":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9"}])");
    EXPECT_EQ(store.sortedDevices(), (std::vector{TrustedDevice{phoneA, "New", secret2, 9}}));
    EXPECT_TRUE(log->lines().empty());
    loadFrom("garbage").add(phoneB, "Phone B", secret1);
    EXPECT_EQ(reloaded(), (std::vector{TrustedDevice{phoneB, "Phone B", secret1, clock}}));
}

TEST_F(TrustStoreTest, EveryChangeIsWrittenAndTrustNeedsTheIdWithAllOfItsSecret) {
    auto store = TrustStore::load(settings, now);
    store.touch(phoneA, "Nobody");
    EXPECT_EQ(settings.writeCount(), 0u) << "touch of an unknown phone";
    store.add(phoneA, "Phone A", secret1);
    clock += 60;
    store.touch(phoneA, "Renamed");
    EXPECT_EQ(reloaded(), (std::vector{TrustedDevice{phoneA, "Renamed", secret1, clock}}));
    EXPECT_FALSE(store.isTrusted(phoneA, secret2)) << "secrets differ only in the last byte";

    clock += 60;
    store.add(phoneA, "Paired again", secret2);
    EXPECT_EQ(reloaded(), (std::vector{TrustedDevice{phoneA, "Paired again", secret2, clock}}));

    const std::string before = stored();
    store.forget(phoneB);
    EXPECT_EQ(stored(), before);
    store.forget(phoneA);
    EXPECT_EQ(stored(), "[]");

    // A time that cannot be stored keeps the previous stored list, and says so.
    clock = std::numeric_limits<double>::quiet_NaN();
    store.add(phoneB, "Phone B", secret1);
    EXPECT_EQ(stored(), "[]");
    EXPECT_TRUE(store.isTrusted(phoneB, secret1)) << "the change stays in memory";
    EXPECT_EQ(trustErrors().size(), 1u);
}

// In id order and every time exact; the wall clock counts from 2001.
TEST_F(TrustStoreTest, SavedFormIsCompactCanonicalExactAndNewestFirst) {
    // Between 2024-01-01 and 2040-01-01 UTC counted from 2001; Unix seconds would be above.
    EXPECT_GT(TrustStore::systemNow(), 725760000.0);
    EXPECT_LT(TrustStore::systemNow(), 1230681600.0);
    auto store = TrustStore::load(settings, now);
    const Uuid zero = uuid("00000000-0000-0000-0000-000000000000");
    const std::tuple<Uuid, double, std::string> added[] = {{phoneB, -12345.678, "B"},
                                                           {phoneA, 8.98846567431158e307, "A"},
                                                           {zero, 1.0 / 3.0, "Zoë \"Pro\""}};
    for (const auto& [id, time, name] : added) {
        clock = time;
        store.add(id, name, secret1);
    }
    const std::string secret = R"(","secret":"ABCDEF01-2345-4678-9ABC-DEF012345678"})";
    EXPECT_EQ(stored(), R"([{"id":"00000000-0000-0000-0000-000000000000",)"
                        R"("lastSeen":0.3333333333333333,"name":"Zoë \"Pro\")" +
                            secret + R"(,{"id":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9",)" +
                            R"("lastSeen":8.98846567431158e+307,"name":"A)" + secret +
                            R"(,{"id":"F0E1D2C3-B4A5-4697-8889-7A6B5C4D3E2F",)" +
                            R"("lastSeen":-12345.678,"name":"B)" + secret + "]");
    EXPECT_EQ(reloaded(), (std::vector{TrustedDevice{phoneA, "A", secret1, 8.98846567431158e307},
                                       TrustedDevice{zero, "Zoë \"Pro\"", secret1, 1.0 / 3.0},
                                       TrustedDevice{phoneB, "B", secret1, -12345.678}}));
    EXPECT_TRUE(log->lines().empty());
}
