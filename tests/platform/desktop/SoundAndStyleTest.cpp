#include <gtest/gtest.h>

#include "platform/desktop/CanberraSoundPlayer.h"
#include "platform/desktop/PortalInterfaceStyle.h"
#include "platform/foundation/Bundle.h"

using desktop::CanberraSoundPlayer;
using desktop::PortalInterfaceStyle;

// Wherever the tests run, with or without a sound server, playing is safe and
// loading refuses what is not a file.
TEST(CanberraSoundPlayerTest, PlaysOrStaysSilentWithoutFailing) {
    CanberraSoundPlayer player;
    auto file = foundation::Bundle::main()->pathForResource("Beep", "wav");
    ASSERT_TRUE(file);
    EXPECT_TRUE(player.load("Beep", *file));
    EXPECT_TRUE(player.isLoaded("Beep"));
    player.play("Beep");
    player.play("never loaded");
    EXPECT_FALSE(player.load("Missing", "/nonexistent/Missing.wav"));
    EXPECT_FALSE(player.isLoaded("Missing"));
}

TEST(PortalInterfaceStyleTest, ColourSchemeAndThemeFallback) {
    EXPECT_FALSE(PortalInterfaceStyle::prefersDark(0));
    EXPECT_TRUE(PortalInterfaceStyle::prefersDark(1));
    EXPECT_FALSE(PortalInterfaceStyle::prefersDark(2));
    EXPECT_TRUE(PortalInterfaceStyle::gtkThemePrefersDark("Adwaita:dark"));
    EXPECT_FALSE(PortalInterfaceStyle::gtkThemePrefersDark("Adwaita"));
    EXPECT_FALSE(PortalInterfaceStyle::gtkThemePrefersDark(nullptr));
    EXPECT_FALSE(PortalInterfaceStyle::gtkThemePrefersDark(":dar"));

    // Without Qt's application object the portal is not asked; the theme decides.
    ::setenv("GTK_THEME", "Adwaita:dark", 1);
    EXPECT_EQ(PortalInterfaceStyle().appleInterfaceStyle(), foundation::PlistValue("Dark"));
    ::unsetenv("GTK_THEME");
    EXPECT_TRUE(PortalInterfaceStyle().appleInterfaceStyle().isNull());
}
