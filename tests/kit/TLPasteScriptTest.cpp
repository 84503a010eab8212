// The paste script: installing the bundle's copy into the scripts folder (and
// refusing everything else), which installed files count as a script, and the
// program itself without an X server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include "kit/TLPasteScript.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

unsigned modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

class TLPasteScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
        scripts_ = foundation::Paths::applicationScripts();
        fs::create_directories(scripts_);
        target_ = scripts_ / "Paste.scpt";
    }
    void TearDown() override { foundation::Bundle::setMainBundlePath({}); }
    // Everything in the scripts folder, by name.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(scripts_)) out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    testsupport::TempHome home_;
    fs::path scripts_, target_;
};

TEST_F(TLPasteScriptTest, AFreshScriptsFolderGetsTheBundlesScriptForTheUserAlone) {
    auto bundled = TLPasteScript::bundledScript();
    ASSERT_TRUE(bundled);
    EXPECT_FALSE(TLPasteScript::installedScript());
    ASSERT_TRUE(TLPasteScript::installPasteScript(scripts_).ok());
    EXPECT_EQ(names(), std::vector<std::string>{"Paste.scpt"});
    EXPECT_EQ(modeOf(target_), 0700u);
    EXPECT_EQ(contents(target_), contents(*bundled));
    EXPECT_EQ(TLPasteScript::installedScript(), target_);
    // The same folder reached another way is the same folder.
    fs::remove(target_);
    EXPECT_TRUE(TLPasteScript::installPasteScript(scripts_ / ".." / "Scripts" / ".").ok());
}

TEST_F(TLPasteScriptTest, ANameTakenAnswersFileExistsAndChangesNothing) {
    fs::create_directories(home_.root() / "elsewhere");
    std::ofstream(home_.root() / "elsewhere" / "victim") << "keep";
    const struct {
        const char* name;
        std::function<void()> make;
    } rows[] = {
        {"a file", [&] { std::ofstream(target_) << "mine"; }},
        {"a link", [&] { fs::create_symlink(home_.root() / "elsewhere" / "victim", target_); }},
        {"a dangling link", [&] { fs::create_symlink(home_.root() / "elsewhere" / "none", target_); }},
        {"a folder", [&] { fs::create_directory(target_); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.make();
        auto installed = TLPasteScript::installPasteScript(scripts_);
        ASSERT_FALSE(installed.ok());
        EXPECT_EQ(installed.error().code, TLPasteScript::kFileExistsError);
        EXPECT_EQ(names(), std::vector<std::string>{"Paste.scpt"});
        fs::remove(target_);
    }
    EXPECT_EQ(contents(home_.root() / "elsewhere" / "victim"), "keep");
    EXPECT_FALSE(fs::exists(home_.root() / "elsewhere" / "none"));
}

TEST_F(TLPasteScriptTest, AnotherFolderOrAFailedCopyLeavesNothing) {
    fs::create_directories(home_.root() / "other");
    auto other = TLPasteScript::installPasteScript(home_.root() / "other");
    ASSERT_FALSE(other.ok());
    EXPECT_NE(other.error().code, TLPasteScript::kFileExistsError);
    EXPECT_TRUE(fs::is_empty(home_.root() / "other"));
    EXPECT_FALSE(TLPasteScript::installPasteScript(home_.root() / "missing").ok());

    // A source that cannot be read midway (a folder opens but gives no bytes).
    auto failed = TLPasteScript::installPasteScript(scripts_, home_.root() / "other");
    ASSERT_FALSE(failed.ok());
    EXPECT_TRUE(names().empty());
}

TEST_F(TLPasteScriptTest, OnlyARegularExecutableFileOfTheUserThatOthersCannotChangeIsAScript) {
    const struct {
        const char* name;
        std::function<void()> make;
        bool script;
    } rows[] = {
        {"0700", [&] { std::ofstream(target_) << "#!/bin/sh\n"; fs::permissions(target_, fs::perms(0700)); }, true},
        {"group-writable 0770", [&] { std::ofstream(target_) << "x"; fs::permissions(target_, fs::perms(0770)); }, true},
        {"not executable", [&] { std::ofstream(target_) << "x"; fs::permissions(target_, fs::perms(0600)); }, false},
        {"others may write", [&] { std::ofstream(target_) << "x"; fs::permissions(target_, fs::perms(0702)); }, false},
        {"a folder", [&] { fs::create_directory(target_); }, false},
        {"a link to a script", [&] {
             std::ofstream(home_.root() / "s") << "x";
             fs::permissions(home_.root() / "s", fs::perms(0700));
             fs::create_symlink(home_.root() / "s", target_);
         }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.make();
        EXPECT_EQ(TLPasteScript::installedScript().has_value(), row.script);
        fs::remove(target_);
    }
}

TEST_F(TLPasteScriptTest, TheProgramWithoutAnXServerSaysWhyAndFails) {
    // Its reasons go to standard error.
    auto run = testsupport::runCommand({"sh", "-c", "unset DISPLAY; exec \"$0\" 2>&1", TAVLO_PASTE_SCRIPT}, 10s);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("Paste.scpt: no X display"), std::string::npos) << run.output;
    run = testsupport::runCommand({"sh", "-c", "DISPLAY=:9999 exec \"$0\" 2>&1", TAVLO_PASTE_SCRIPT}, 10s);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cannot reach the X server"), std::string::npos) << run.output;
}

}  // namespace
