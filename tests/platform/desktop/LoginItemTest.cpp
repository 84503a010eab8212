// Login items as XDG autostart entries, in a private home, for bundles at
// paths that need every kind of quoting.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/desktop/LoginItem.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using desktop::LoginItem;

constexpr const char* kLauncher = "com.tavlo.TavloLauncher";

void writeInfo(const fs::path& bundle, const std::string& identifier, const std::string& executable) {
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
        << "<key>CFBundleName</key><string>Tavlo</string>"
        << "<key>CFBundleExecutable</key><string>" << executable << "</string></dict></plist>\n";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LoginItemTest : public ::testing::Test {
protected:
    ~LoginItemTest() override { foundation::Bundle::setMainBundlePath({}); }

    // An application bundle at folder carrying the launcher; answers the
    // launcher's program.
    fs::path makeApplication(const fs::path& folder) {
        fs::path app = folder / "Tavlo.app";
        writeInfo(app, "com.tavlo.Tavlo", "Tavlo");
        fs::path launcher = app / "Contents/Library/LoginItems/TavloLauncher.app";
        writeInfo(launcher, kLauncher, "TavloLauncher");
        fs::path program = launcher / "Contents/MacOS/TavloLauncher";
        std::ofstream(program) << "#!/bin/sh\n";
        chmod(program.c_str(), 0755);
        foundation::Bundle::setMainBundlePath(app);
        return program;
    }

    fs::path entry() const { return home_.configHome() / "autostart" / (std::string(kLauncher) + ".desktop"); }

    testsupport::TempHome home_;
};

TEST_F(LoginItemTest, EnablingWritesAnEntryThatRunsTheLauncherWhereverTheApplicationLies) {
    const char* folders[] = {
        "plain",
        "with spaces/and \"double\" 'single' quotes",
        "100% of $HOME and ${X} `cmd` \\back\\slash",
        "Programme/Übersicht – 日本語 ; & | < > * ? # ( ) ~",
    };
    bool validator = testsupport::runCommand({"sh", "-c", "command -v desktop-file-validate"}, 10s).status == 0;
    for (const char* folder : folders) {
        SCOPED_TRACE(folder);
        fs::path program = makeApplication(home_.root() / folder);
        ASSERT_TRUE(LoginItem::setEnabled(kLauncher, true).ok());
        std::string text = readFile(entry());
        EXPECT_EQ(LoginItem::entryProgram(text), program.string()) << text;
        EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
        EXPECT_NE(text.find("Name=Tavlo\n"), std::string::npos);
        EXPECT_NE(text.find("X-GNOME-Autostart-enabled=true\n"), std::string::npos);
        if (validator) {
            auto checked = testsupport::runCommand({"desktop-file-validate", entry().string()}, 10s);
            EXPECT_EQ(checked.status, 0) << checked.output << text;
            EXPECT_EQ(checked.output, "") << text;
        }
        ASSERT_TRUE(LoginItem::setEnabled(kLauncher, false).ok());
        EXPECT_FALSE(fs::exists(entry()));
        EXPECT_TRUE(LoginItem::setEnabled(kLauncher, false).ok()) << "an absent entry counts as removed";
    }
    if (!validator) GTEST_SKIP() << "desktop-file-validate is not installed (Debian: desktop-file-utils)";
}

TEST_F(LoginItemTest, AnUnknownIdentifierFailsAndWritesNothing) {
    makeApplication(home_.root());
    for (const char* identifier : {"com.tavlo.Other", "", "../com.tavlo.TavloLauncher", "com.tavlo.Tavlo"}) {
        SCOPED_TRACE(identifier);
        EXPECT_FALSE(LoginItem::setEnabled(identifier, true).ok());
        EXPECT_FALSE(LoginItem::setEnabled(identifier, false).ok());
    }
    EXPECT_FALSE(fs::exists(home_.configHome() / "autostart"));
}

TEST_F(LoginItemTest, AnAutostartFolderThatIsAFileFailsAndIsLeftAlone) {
    makeApplication(home_.root());
    fs::create_directories(home_.configHome());
    std::ofstream(home_.configHome() / "autostart") << "not a folder";
    EXPECT_FALSE(LoginItem::setEnabled(kLauncher, true).ok());
    EXPECT_EQ(readFile(home_.configHome() / "autostart"), "not a folder");
    EXPECT_TRUE(LoginItem::setEnabled(kLauncher, false).ok()) << "no entry can be there";
}

TEST_F(LoginItemTest, AnEntryOfAMovedApplicationIsWrittenAgainForThisOne) {
    fs::path program = makeApplication(home_.root() / "new place");
    struct Row {
        const char* name;
        const char* text;  // nullptr: no entry
        bool rewritten;
    };
    const Row rows[] = {
        {"another launcher", "[Desktop Entry]\nType=Application\nName=Tavlo\nExec=\"/old place/TavloLauncher\"\n", true},
        {"no entry", nullptr, false},
        {"hidden by the user", "[Desktop Entry]\nType=Application\nName=Tavlo\nExec=/old/TavloLauncher\nHidden=true\n",
         false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(entry());
        if (r.text) {
            fs::create_directories(entry().parent_path());
            std::ofstream(entry()) << r.text;
        }
        auto updated = LoginItem::updateIfMoved(kLauncher);
        ASSERT_TRUE(updated.ok());
        EXPECT_EQ(updated.value(), r.rewritten);
        if (r.rewritten) EXPECT_EQ(LoginItem::entryProgram(readFile(entry())), program.string());
        else if (r.text) EXPECT_EQ(readFile(entry()), r.text);
        else EXPECT_FALSE(fs::exists(entry()));
    }
    // An entry that already runs this launcher is not touched.
    ASSERT_TRUE(LoginItem::setEnabled(kLauncher, true).ok());
    auto updated = LoginItem::updateIfMoved(kLauncher);
    ASSERT_TRUE(updated.ok());
    EXPECT_FALSE(updated.value());
}

}  // namespace
