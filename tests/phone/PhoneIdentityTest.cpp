#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "PhoneIdentity.h"

using namespace jolto;

TEST(PhoneIdentity, MadeOnceKeptPrivateReadBackAndNeverOverwritten) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("jolto-identity-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
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

    // A file without an identity may be another phone's: refused and left as it is.
    for (const char* text : {"not json", "{\"deviceID\": \"123\", \"secret\": \"456\"}", "[]"}) {
        std::ofstream(file) << text;
        const auto loaded = PhoneIdentity::loadOrCreate(file);
        EXPECT_FALSE(loaded.identity) << text;
        EXPECT_FALSE(loaded.error.empty());
        std::stringstream kept;
        kept << std::ifstream(file).rdbuf();
        EXPECT_EQ(kept.str(), text);
    }
    std::filesystem::remove_all(dir);
}
