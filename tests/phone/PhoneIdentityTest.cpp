#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "PhoneIdentity.h"

using namespace jolto;

namespace {

class PhoneIdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("jolto-identity-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
};

TEST_F(PhoneIdentityTest, MadeOnceKeptPrivateAndReadBackUnchanged) {
    const auto file = dir / "nested" / "identity.json";
    const auto made = PhoneIdentity::loadOrCreate(file);
    ASSERT_TRUE(made.identity) << made.error;
    EXPECT_TRUE(made.created);
    EXPECT_NE(made.identity->deviceID, made.identity->secret);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const auto again = PhoneIdentity::loadOrCreate(file);
    ASSERT_TRUE(again.identity);
    EXPECT_FALSE(again.created);
    EXPECT_EQ(again.identity->deviceID, made.identity->deviceID);
    EXPECT_EQ(again.identity->secret, made.identity->secret);
}

TEST_F(PhoneIdentityTest, AFileWithoutAnIdentityIsRefusedAndLeftAlone) {
    std::filesystem::create_directories(dir);
    const auto file = dir / "identity.json";
    for (const char* text : {"not json", "{\"deviceID\": \"123\", \"secret\": \"456\"}", "[]"}) {
        std::ofstream(file) << text;
        const auto loaded = PhoneIdentity::loadOrCreate(file);
        EXPECT_FALSE(loaded.identity) << text;
        EXPECT_FALSE(loaded.error.empty());
        std::ifstream in(file);
        std::stringstream kept;
        kept << in.rdbuf();
        EXPECT_EQ(kept.str(), text);
    }
}

} // namespace
