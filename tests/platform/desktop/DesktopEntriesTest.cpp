#include <gtest/gtest.h>

#include <fstream>

#include "platform/desktop/DesktopEntries.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using desktop::DesktopEntries;
using desktop::WindowClaims;

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

TEST(DesktopEntriesTest, ParsesTheMainGroupOfApplications) {
    struct Row {
        const char* name;
        const char* text;
        bool entry;
        const char* title;
        const char* wmClass;
        const char* executable;
    };
    const Row rows[] = {
        {"plain", "[Desktop Entry]\nType=Application\nName=Text Editor\nExec=/usr/bin/gedit %U\n", true, "Text Editor",
         "", "gedit"},
        {"localised names ignored", "[Desktop Entry]\nName[de]=Editor\nName = Editor\nType=Application\n", true,
         "Editor", "", ""},
        {"escapes and quotes",
         "[Desktop Entry]\nType=Application\nName=A\\sB\nStartupWMClass=Ab\nExec=\"/opt/my app/run\" --x\n", true,
         "A B", "Ab", "run"},
        {"env prefix", "[Desktop Entry]\nType=Application\nName=E\nExec=env GDK_BACKEND=x11 LANG=C firefox %u\n", true,
         "E", "", "firefox"},
        {"other groups ignored",
         "# c\n[Desktop Action new]\nName=New\n[Desktop Entry]\nType=Application\nName=Main\n[X]\nName=Later\n", true,
         "Main", "", ""},
        {"links are not applications", "[Desktop Entry]\nType=Link\nName=Site\n", false, "", "", ""},
        {"hidden", "[Desktop Entry]\nType=Application\nName=Gone\nHidden=true\n", false, "", "", ""},
        {"keys outside the group", "Type=Application\nName=Loose\n", false, "", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto entry = DesktopEntries::parse(r.text, "org.example.App");
        ASSERT_EQ(entry.has_value(), r.entry);
        if (!entry) continue;
        EXPECT_EQ(entry->id, "org.example.App");
        EXPECT_EQ(entry->name, r.title);
        EXPECT_EQ(entry->startupWMClass, r.wmClass);
        EXPECT_EQ(entry->executable, r.executable);
    }
}

TEST(DesktopEntriesTest, EarlierFoldersHideLaterOnesAndSubfoldersJoinTheID) {
    testsupport::TempHome home;
    fs::path first = home.root() / "one/applications", second = home.root() / "two/applications";
    write(first / "org.example.Editor.desktop", "[Desktop Entry]\nType=Application\nName=Mine\n");
    write(second / "org.example.Editor.desktop", "[Desktop Entry]\nType=Application\nName=System\n");
    write(second / "kde/konsole.desktop", "[Desktop Entry]\nType=Application\nName=Konsole\n");
    write(second / "notes.txt", "[Desktop Entry]\nType=Application\nName=Not an entry\n");
    auto entries = DesktopEntries::loadFrom({first, second});
    EXPECT_EQ(entries.size(), 2u);
    auto* editor = entries.match(WindowClaims{"org.example.Editor", "", "", ""});
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->name, "Mine");
    auto* konsole = entries.match(WindowClaims{"", "", "kde-konsole", ""});
    ASSERT_TRUE(konsole);
    EXPECT_EQ(konsole->id, "kde-konsole");
}

TEST(DesktopEntriesTest, MatchesFromTheMostSpecificClaim) {
    testsupport::TempHome home;
    fs::path apps = home.root() / "applications";
    write(apps / "org.gnome.TextEditor.desktop",
          "[Desktop Entry]\nType=Application\nName=Text Editor\nExec=gnome-text-editor\n");
    write(apps / "org.mozilla.firefox.desktop",
          "[Desktop Entry]\nType=Application\nName=Firefox\nStartupWMClass=Navigator\nExec=firefox\n");
    write(apps / "xterm.desktop", "[Desktop Entry]\nType=Application\nName=XTerm\nExec=xterm\n");
    write(apps / "tool.desktop", "[Desktop Entry]\nType=Application\nName=Tool\nExec=/usr/bin/tool-bin\n");
    auto entries = DesktopEntries::loadFrom({apps});
    struct Row {
        const char* name;
        WindowClaims claims;
        const char* id;  // null: no match
    };
    const Row rows[] = {
        {"application id", {"org.gnome.TextEditor", "gnome-text-editor", "Gnome-text-editor", ""},
         "org.gnome.TextEditor"},
        {"startup class beats ids", {"", "Navigator", "firefox", ""}, "org.mozilla.firefox"},
        {"class as id, any case", {"", "xterm", "XTerm", ""}, "xterm"},
        {"class as last dotted part", {"", "texteditor", "TextEditor", ""}, "org.gnome.TextEditor"},
        {"program name", {"", "w", "W", "tool-bin"}, "tool"},
        {"unknown", {"com.example.Nothing", "nothing", "Nothing", "nothing"}, nullptr},
        {"nothing claimed", {"", "", "", ""}, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto* entry = entries.match(r.claims);
        if (!r.id) {
            EXPECT_EQ(entry, nullptr);
        } else {
            ASSERT_TRUE(entry);
            EXPECT_EQ(entry->id, r.id);
        }
    }
}

}  // namespace

namespace {

TEST(DesktopEntriesTest, ExecQuotingRunsTheArgumentsAsGiven) {
    const std::vector<std::string> cases[] = {
        {"/usr/bin/plain"},
        {"/opt/my app/run", "--name=\"x\""},
        {"/p/100% $HOME `id` \\n\\", "%u"},
        {" leading space", "tab\there", "new\nline", "Übersicht"},
    };
    for (const auto& arguments : cases) {
        std::string value = desktop::DesktopEntries::quoteExec(arguments);
        SCOPED_TRACE(value);
        auto entry = desktop::DesktopEntries::parse("[Desktop Entry]\nType=Application\nExec=" + value + "\n", "q");
        ASSERT_TRUE(entry);
        EXPECT_EQ(desktop::DesktopEntries::splitExec(entry->exec), arguments);
    }
}

}  // namespace
