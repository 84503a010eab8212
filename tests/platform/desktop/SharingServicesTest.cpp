#include <gtest/gtest.h>

#include <QFile>
#include <QImage>

#include <sys/stat.h>

#include "platform/desktop/SharingServices.h"
#include "platform/foundation/Paths.h"
#include "tests/support/RecordingWorkspace.h"
#include "tests/support/TempHome.h"

using desktop::SharingItem;
using desktop::SharingServices;

namespace {

std::vector<std::string> titles(const std::vector<SharingItem>& items) {
    std::vector<std::string> out;
    for (const auto& service : SharingServices::servicesForItems(items)) out.push_back(service->title());
    return out;
}

std::shared_ptr<desktop::SharingService> service(const char* title, const std::vector<SharingItem>& items) {
    for (const auto& s : SharingServices::servicesForItems(items))
        if (s->title() == title) return s;
    return nullptr;
}

QImage redSquare() {
    QImage image(8, 8, QImage::Format_ARGB32);
    image.fill(Qt::red);
    return image;
}

struct Outcome : desktop::SharingServiceDelegate {
    int shared = 0, failed = 0;
    void sharingServiceDidShareItems(desktop::SharingService&, const std::vector<SharingItem>&) override { ++shared; }
    void sharingServiceDidFailToShareItems(desktop::SharingService&, const std::vector<SharingItem>&,
                                           const foundation::Error&) override {
        ++failed;
    }
};

TEST(SharingServicesTest, OffersOnlyWhatCanTakeTheItems) {
    const std::string email = SharingServices::kEmail, save = SharingServices::kSaveToFile,
                      open = SharingServices::kOpenWithDefaultApplication;
    struct Row {
        const char* name;
        std::vector<SharingItem> items;
        std::vector<std::string> services;
    };
    const Row rows[] = {
        {"nothing", {}, {}},
        {"a text", {SharingItem::withText("hello")}, {email, save, open}},
        {"a link", {SharingItem::withURL("https://example.org")}, {email, save, open}},
        {"an image", {SharingItem::withImage(redSquare())}, {save, open}},
        {"two texts", {SharingItem::withText("a"), SharingItem::withText("b")}, {email, open}},
        {"a text and an image", {SharingItem::withText("a"), SharingItem::withImage(redSquare())}, {open}},
        {"a text too long to mail", {SharingItem::withText(QString(70000, QChar(u'x')))}, {save, open}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(titles(row.items), row.services);
    }
}

TEST(SharingServicesTest, EmailOpensTheMailtoOfTheTexts) {
    testsupport::RecordingWorkspace::Scope workspace;
    std::vector<SharingItem> items = {SharingItem::withText(QString::fromUtf8("Grüße & more\nline?")),
                                      SharingItem::withURL("https://example.org/a b")};
    EXPECT_EQ(SharingServices::mailtoURLForItems(items),
              "mailto:?body=Gr%C3%BC%C3%9Fe%20%26%20more%0Aline%3F%0Ahttps%3A%2F%2Fexample.org%2Fa%20b");
    auto outcome = std::make_shared<Outcome>();
    auto email = service(SharingServices::kEmail, items);
    ASSERT_TRUE(email);
    email->setDelegate(outcome);
    email->performWithItems(items);
    EXPECT_EQ(workspace->urls, std::vector<std::string>{SharingServices::mailtoURLForItems(items)});
    EXPECT_EQ(outcome->shared, 1);
}

TEST(SharingServicesTest, SaveToFileWritesTheItemsBytes) {
    testsupport::TempHome home;
    std::filesystem::path target = home.root() / "saved.txt";
    std::string suggested;
    SharingServices::setSavePanel([&](const std::string& name) -> std::optional<std::filesystem::path> {
        suggested = name;
        return target;
    });
    std::vector<SharingItem> text = {SharingItem::withText(QString::fromUtf8("snowman \u2603"))};
    service(SharingServices::kSaveToFile, text)->performWithItems(text);
    QFile file(QString::fromStdString(target.string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("snowman \xE2\x98\x83"));
    EXPECT_EQ(suggested, "Clipping.txt");

    std::vector<SharingItem> image = {SharingItem::withImage(redSquare())};
    std::filesystem::path picture = home.root() / "saved.png";
    SharingServices::setSavePanel([&](const std::string&) { return std::optional(picture); });
    service(SharingServices::kSaveToFile, image)->performWithItems(image);
    EXPECT_EQ(QImage(QString::fromStdString(picture.string())).pixelColor(3, 3), QColor(Qt::red));

    // A folder that cannot be written: the delegate hears of it, nothing is left behind.
    auto outcome = std::make_shared<Outcome>();
    SharingServices::setSavePanel([&](const std::string&) { return std::optional(home.root() / "missing" / "x.txt"); });
    auto save = service(SharingServices::kSaveToFile, text);
    save->setDelegate(outcome);
    save->performWithItems(text);
    EXPECT_EQ(outcome->failed, 1);
    EXPECT_FALSE(std::filesystem::exists(home.root() / "missing"));
    SharingServices::setSavePanel(nullptr);
}

TEST(SharingServicesTest, OpenWithDefaultApplicationHandsOverAPrivateCopy) {
    testsupport::TempHome home;
    testsupport::RecordingWorkspace::Scope workspace;
    std::vector<SharingItem> items = {SharingItem::withText("open me"), SharingItem::withURL("https://example.org")};
    service(SharingServices::kOpenWithDefaultApplication, items)->performWithItems(items);
    ASSERT_EQ(workspace->files.size(), 1u);
    const std::filesystem::path& copy = workspace->files[0];
    EXPECT_EQ(copy.parent_path(), foundation::Paths::temporaryDirectory());
    EXPECT_EQ(copy.extension(), ".txt");
    struct stat info {};
    ASSERT_EQ(::stat(copy.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    QFile file(QString::fromStdString(copy.string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("open me"));
    EXPECT_EQ(workspace->urls, std::vector<std::string>{"https://example.org"});
}

}  // namespace
