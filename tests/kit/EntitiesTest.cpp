#include <gtest/gtest.h>

#include <regex>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/Meta.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "platform/store/Context.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;

class EntitiesTest : public ::testing::Test {
protected:
    std::shared_ptr<store::Coordinator> coordinator() {
        return TLDatabaseManager({fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home_.root() / "container"})
            .persistentStoreCoordinator();
    }
    testsupport::TempHome home_;
};

TEST_F(EntitiesTest, TypedPropertiesAndRelationshipsRoundTrip) {
    const std::string clippingID = Clipping::makeClippingID();
    const std::string listID = List::makeListID();
    {
        store::Context context(coordinator());
        auto list = std::static_pointer_cast<List>(context.insertNewObject(List::kEntityName));
        list->setListID(listID);
        list->setName("Recipes");
        auto clipping = std::static_pointer_cast<Clipping>(context.insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(clippingID);
        clipping->setTavloDate(foundation::Date(1700000000.5));
        clipping->setText("Crème brûlée");
        clipping->setItems(0);
        clipping->setSync(false);
        clipping->setColor(0xFFEEDD);
        clipping->setRecordSystemFields(foundation::Data::fromString("fields"));
        clipping->setList(list);
        auto asset = std::static_pointer_cast<Asset>(context.insertNewObject(Asset::kEntityName));
        asset->setFilename("0.public.png");
        asset->setAssetID(Asset::makeAssetID(clippingID, "0.public.png"));
        clipping->addAssetsObject(asset);
        std::static_pointer_cast<Meta>(context.insertNewObject(Meta::kEntityName))->setStamp(foundation::Date(5));
        ASSERT_TRUE(context.save().ok());
    }
    store::Context context(coordinator());
    auto all = context.fetch(store::FetchRequest(Clipping::kEntityName)).value();
    ASSERT_EQ(all.size(), 1u);
    auto clipping = std::dynamic_pointer_cast<Clipping>(all[0]);
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->clippingID(), clippingID);
    EXPECT_EQ(clipping->tavloDate(), foundation::Date(1700000000.5));
    EXPECT_EQ(clipping->addDate(), std::nullopt);
    EXPECT_EQ(clipping->text(), "Crème brûlée");
    EXPECT_EQ(clipping->url(), std::nullopt);
    EXPECT_EQ(clipping->items(), 0);
    EXPECT_EQ(clipping->sync(), false);
    EXPECT_EQ(clipping->tavloStyle(), std::nullopt);
    EXPECT_EQ(clipping->color(), 0xFFEEDD);
    EXPECT_EQ(clipping->recordSystemFields(), foundation::Data::fromString("fields"));
    ASSERT_TRUE(clipping->list());
    EXPECT_EQ(clipping->list()->name(), "Recipes");
    EXPECT_EQ(clipping->list()->clippings().size(), 1u);
    ASSERT_EQ(clipping->assets().size(), 1u);
    EXPECT_EQ(clipping->assets()[0]->clipping(), clipping);
    EXPECT_EQ(clipping->assets()[0]->assetID(), clippingID + ".0.public.png");
}

TEST_F(EntitiesTest, IdentifiersAreAPrefixAndAnUpperCaseUUID) {
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    std::string c = Clipping::makeClippingID(), l = List::makeListID();
    EXPECT_EQ(c.size(), 38u);
    EXPECT_EQ(c.substr(0, 2), "C-");
    EXPECT_TRUE(std::regex_match(c.substr(2), uuid));
    EXPECT_EQ(l.substr(0, 2), "L-");
    EXPECT_TRUE(std::regex_match(l.substr(2), uuid));
    EXPECT_NE(c, Clipping::makeClippingID());
}

TEST_F(EntitiesTest, AssetFoldersLieInTheContainer) {
    const fs::path container = home_.dataHome() / "Tavlo";
    EXPECT_EQ(NSFileManagerExtras::containerURL().filePath(), container);
    EXPECT_EQ(NSFileManagerExtras::documentsDirectoryPath(), container.string());
    EXPECT_EQ(NSFileManagerExtras::localAssetsDirectory().filePath(), container / "assets");
    EXPECT_EQ(NSFileManagerExtras::logsDirectoryPath(), (container / "logs").string());
    std::string id = Clipping::makeClippingID();
    EXPECT_EQ(NSFileManagerExtras::URLForClippingAssetsWithID(id)->filePath(), container / "assets" / id);
    EXPECT_EQ(NSFileManagerExtras::pathForClippingAssetsWithID(id), (container / "assets" / id).string());
    EXPECT_EQ(NSFileManagerExtras::URLForClippingAssetsWithID(std::nullopt), std::nullopt);
}

TEST_F(EntitiesTest, NoIdentifierOrTypeNamesAPathOutsideTheClippingsFolder) {
    const char* badIDs[] = {"", "C-", "C-../../..", "C-/home/x", "../C-12345678-1234-1234-1234-123456789012",
                            "L-12345678-1234-1234-1234-123456789012", "C-12345678-1234-1234-1234-12345678901/"};
    for (const char* id : badIDs) {
        SCOPED_TRACE(id);
        EXPECT_EQ(NSFileManagerExtras::URLForClippingAssetsWithID(std::string(id)), std::nullopt);
    }
    EXPECT_EQ(NSFileManagerExtras::URLForClippingAssetsWithID(std::string(5000, 'C')), std::nullopt);

    const std::string id = Clipping::makeClippingID();
    const fs::path folder = NSFileManagerExtras::URLForClippingAssetsWithID(id)->filePath();
    struct Row {
        const char* type;
        const char* fileName;
    };
    const Row rows[] = {
        {"public.png", "0.public.png"},
        {"image/png", "0.image%2Fpng"},
        {"../../../etc/passwd", "0...%2F..%2F..%2Fetc%2Fpasswd"},
        {"100%\\\x01", "0.100%25%5C%01"},
        {"..", "0..."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        auto name = NSFileManagerExtras::assetFileName(0, row.type);
        ASSERT_TRUE(name);
        EXPECT_EQ(*name, row.fileName);
        auto parsed = NSFileManagerExtras::parseAssetFileName(*name);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->first, 0);
        EXPECT_EQ(parsed->second, row.type);
        auto url = NSFileManagerExtras::URLForAssetFile(id, *name);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->filePath().parent_path(), folder);
        EXPECT_EQ(url->filePath().filename(), *name);
    }
    EXPECT_EQ(NSFileManagerExtras::assetFileName(1, std::string(300, 'x')), std::nullopt);
    EXPECT_EQ(NSFileManagerExtras::parseAssetFileName("10.public.png")->second, "public.png");
    EXPECT_EQ(NSFileManagerExtras::parseAssetFileName("x.public.png"), std::nullopt);
    EXPECT_EQ(NSFileManagerExtras::parseAssetFileName("0.bad%2"), std::nullopt);
    for (const char* name : {"", ".", "..", "a/b", "../x"}) EXPECT_EQ(NSFileManagerExtras::URLForAssetFile(id, name), std::nullopt);
}

}  // namespace
