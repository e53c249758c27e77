#include "platform/linux/AccessHelper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

namespace jolto {
namespace {

namespace fs = std::filesystem;

// A scratch folder with a stand-in pkexec that records its arguments and exits with a status
// chosen by the test (or kills itself), so the whole run() path is exercised without polkit.
class AccessHelperRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "jolto-access-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = fs::canonical(pattern);
        fs::create_directories(dir_ / "bin");
        helper_ = (dir_ / "jolto-host-access").string();
        writeScript(helper_, "#!/bin/sh\nexit 0\n");
    }
    void TearDown() override { fs::remove_all(dir_); }

    static void writeScript(const fs::path& path, const std::string& text) {
        std::ofstream(path) << text;
        fs::permissions(path, fs::perms::owner_all);
    }
    void fakePkexec(const std::string& ending) {
        writeScript(dir_ / "bin" / "pkexec", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                                                 (dir_ / "args").string() + "'\n" + ending + "\n");
    }
    std::string recordedArgs() const {
        std::stringstream text;
        text << std::ifstream(dir_ / "args").rdbuf();
        return text.str();
    }
    AccessHelper helperWithPath(const std::string& searchPath) const {
        return AccessHelper({helper_}, searchPath);
    }

    fs::path dir_;
    std::string helper_;
};

TEST_F(AccessHelperRun, MapsPkexecStatusesToOutcomes) {
    using O = AccessHelper::Outcome;
    // A killed pkexec is a failure, not a success.
    const std::tuple<std::string, O, int> cases[] = {{"exit 0", O::granted, 0},
                                                     {"exit 126", O::cancelled, 126},
                                                     {"exit 127", O::notAuthorized, 127},
                                                     {"exit 1", O::failed, 1},
                                                     {"exit 3", O::failed, 3},
                                                     {"kill -KILL $$", O::failed, -1}};
    for (const auto& [ending, outcome, status] : cases) {
        fakePkexec(ending);
        auto result = helperWithPath((dir_ / "bin").string()).run();
        EXPECT_EQ(result, (AccessHelper::Result{outcome, status})) << ending;
    }
    // pkexec must get the canonical absolute path (polkit matches the action on it) and must
    // not fall back to asking on a terminal.
    EXPECT_EQ(recordedArgs(), "--disable-internal-agent\n" + helper_ + "\n");
}

TEST_F(AccessHelperRun, UnavailableWithoutPkexecOrScript) {
    fakePkexec("exit 0");
    // pkexec only in a relative PATH entry, or nowhere: not used.
    fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    auto relativeOnly = helperWithPath("bin::").run();
    fs::current_path(cwd);
    EXPECT_EQ(relativeOnly.outcome, AccessHelper::Outcome::unavailable);
    EXPECT_EQ(helperWithPath((dir_ / "nothing").string()).run().outcome,
              AccessHelper::Outcome::unavailable);

    AccessHelper noScript({(dir_ / "missing").string()}, (dir_ / "bin").string());
    EXPECT_EQ(noScript.run(), (AccessHelper::Result{AccessHelper::Outcome::unavailable, -1}));
    EXPECT_FALSE(fs::exists(dir_ / "args")) << "pkexec ran without a script to run";
}

TEST_F(AccessHelperRun, PicksTheFirstExecutableCandidateCanonicallyAndQuotesItForTheShell) {
    fs::create_directories(dir_ / "folder" / "jolto-host-access");
    std::string notExecutable = (dir_ / "plain").string();
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);

    AccessHelper helper({(dir_ / "missing").string(), notExecutable,
                         (dir_ / "folder" / "jolto-host-access").string(),
                         (dir_ / "bin" / ".." / "jolto-host-access").string()},
                        "/usr/bin");
    EXPECT_EQ(helper.helperPath(), helper_);
    EXPECT_EQ(helper.manualCommand(), "sudo " + helper_);

    AccessHelper none({"/nonexistent/libexec/jolto-host/jolto-host-access"}, "/usr/bin");
    EXPECT_EQ(none.helperPath(), std::nullopt);
    EXPECT_EQ(none.manualCommand(), "sudo /nonexistent/libexec/jolto-host/jolto-host-access");

    fs::create_directories(dir_ / "it's here");
    writeScript(dir_ / "it's here" / "jolto-host-access", "#!/bin/sh\n");
    AccessHelper odd({(dir_ / "it's here" / "jolto-host-access").string()}, "/usr/bin");
    EXPECT_EQ(odd.manualCommand(), "sudo '" + dir_.string() + "/it'\\''s here/jolto-host-access'");
}

} // namespace
} // namespace jolto
