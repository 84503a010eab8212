#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Paths.h"
#include "tests/support/TempHome.h"

using foundation::Bundle;
using foundation::Data;
using foundation::Paths;

TEST(PathsTest, EverythingDerivesFromTheEnvironment) {
    testsupport::TempHome home;
    EXPECT_EQ(Paths::applicationGroupContainer(), home.dataHome() / "Tavlo");
    EXPECT_EQ(Paths::preferences(), home.configHome() / "Tavlo");
    EXPECT_EQ(Paths::temporaryDirectory(), home.cacheHome() / "Tavlo" / "tmp");
    EXPECT_EQ(Paths::applicationScripts(), home.dataHome() / "Tavlo" / "Scripts");
    EXPECT_EQ(Paths::autostart(), home.configHome() / "autostart");

    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    EXPECT_EQ(Paths::dataHome(), home.root() / "home" / ".local" / "share");
    ::unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(Paths::caches(), home.root() / "home" / ".cache");

    auto folder = home.root() / "a" / "b";
    ASSERT_TRUE(Paths::createDirectory(folder).ok());
    ASSERT_TRUE(Paths::createDirectory(folder).ok());
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_TRUE(Data::fromString("x").writeToFile(home.root() / "file").ok());
    EXPECT_FALSE(Paths::createDirectory(home.root() / "file" / "sub").ok());
}

TEST(BundleTest, PackagedAndFlatShapes) {
    testsupport::TempHome home;
    auto app = home.root() / "Tavlo.app";
    std::filesystem::create_directories(app / "Contents" / "Resources" / "Tavlo.momd");
    std::filesystem::create_directories(app / "Contents" / "MacOS");
    ASSERT_TRUE(Data::fromString("<plist><dict><key>CFBundleVersion</key><string>42</string>"
                                 "<key>CFBundleIdentifier</key><string>com.tavlo.Tavlo</string></dict></plist>")
                    .writeToFile(app / "Contents" / "Info.plist")
                    .ok());
    ASSERT_TRUE(Data::fromString("caf").writeToFile(app / "Contents" / "Resources" / "Paste.caf").ok());

    auto bundle = Bundle::withPath(app);
    EXPECT_EQ(bundle->bundleIdentifier(), "com.tavlo.Tavlo");
    EXPECT_EQ(*bundle->objectForInfoDictionaryKey("CFBundleVersion").asString(), "42");
    EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Beacon").isNull());
    EXPECT_EQ(bundle->executableFolder(), app / "Contents" / "MacOS");
    EXPECT_EQ(bundle->pathForResource("Paste", "caf"), app / "Contents" / "Resources" / "Paste.caf");
    EXPECT_EQ(bundle->pathForResource("Tavlo", "momd"), app / "Contents" / "Resources" / "Tavlo.momd");
    EXPECT_FALSE(bundle->pathForResource("Beep", "caf"));
    EXPECT_FALSE(bundle->pathForResource("../Info", "plist"));
    EXPECT_EQ(bundle->applicationGroupIdentifier(), "group.com.tavlo.Tavlo");

    ::setenv("TAVLO_BUNDLE", app.c_str(), 1);
    Bundle::setMainBundlePath({});
    EXPECT_EQ(Bundle::main()->bundlePath(), app);
    ::unsetenv("TAVLO_BUNDLE");
    Bundle::setMainBundlePath({});
}

TEST(BundleTest, TheBuildTreeFindsTheSourceInfoPlist) {
    Bundle::setMainBundlePath({});
    EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.tavlo.Tavlo");
    EXPECT_TRUE(Bundle::main()->pathForResource("Info", "plist"));
}
