// Deleting clippings and lists, trimming the history to its limit, and the
// pass that removes clippings sharing one identifier.

#include "tests/kit/CaptureFixture.h"

#include <fstream>

namespace {

namespace fs = std::filesystem;

class TLPasteboardManagerHistoryTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        TLSettings()->setInteger(0, TLUserDefaultsClipboardSize);
        start();
        duplicatesToken_ = foundation::NotificationCenter::defaultCenter().addObserver(
            TLRemovedDuplicateClippingNotification, nullptr, [this](const foundation::Notification&) { ++duplicatesRemoved_; });
    }
    void TearDown() override {
        foundation::NotificationCenter::defaultCenter().removeObserver(duplicatesToken_);
        CaptureFixture::TearDown();
    }

    // A saved clipping of the given age (a larger age is older).
    std::shared_ptr<Clipping> add(int age, std::optional<std::string> text = "text", const std::string& clippingID = "") {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(clippingID.empty() ? Clipping::makeClippingID() : clippingID);
        c->setText(text);
        c->setTavloDate(foundation::Date(1e6 - age));
        c->setModifiedDate(foundation::Date(1e6 - age));  // as every capture and edit dates it
        return c;
    }
    static fs::path folderOf(const Clipping& c) {
        return NSFileManagerExtras::URLForClippingAssetsWithID(c.clippingID())->filePath();
    }
    static void giveFolder(const Clipping& c) {
        fs::create_directories(folderOf(c));
        std::ofstream(folderOf(c) / "0.public.utf8-plain-text") << "x";
    }
    void trim(int64_t limit) {
        TLSettings()->setInteger(limit, TLUserDefaultsClipboardSize);
        linesBefore_ = logLines().size();
        manager_->trimClipboardHistory();
        // The duplicate pass runs on the parent context's queue and announces
        // its deletions on the main queue.
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        dispatch::MainQueue::runUntilIdle();
    }
    std::vector<std::string> trimLines() {
        auto lines = logLines();
        return std::vector<std::string>(lines.begin() + std::ptrdiff_t(linesBefore_), lines.end());
    }
    void clear() {
        auto all = context_->fetch(store::FetchRequest(Clipping::kEntityName));
        ASSERT_TRUE(all);
        for (auto& object : all.value()) context_->deleteObject(object);
        ASSERT_TRUE(context_->save().ok());
    }
    bool logged(const std::string& line) {
        auto lines = trimLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    size_t linesBefore_ = 0;
    int duplicatesRemoved_ = 0;
    foundation::NotificationCenter::Token duplicatesToken_ = 0;
};

TEST_F(TLPasteboardManagerHistoryTest, TrimLeavesClippingsWaitingForTheirRecord) {
    // Made for an asset that arrived before its clipping: empty, dated 1970,
    // never changed here and without a record. Deleting it would delete the
    // real clipping on every device.
    auto placeholder = add(0, std::nullopt);
    placeholder->setTavloDate(foundation::Date(0));
    placeholder->setModifiedDate(std::nullopt);
    for (int i = 1; i <= 5; ++i) add(i);
    auto emptyUploaded = add(6, std::nullopt);
    ASSERT_TRUE(context_->save().ok());

    trim(3);

    std::set<std::string> kept;
    for (const auto& c : savedClippings()) kept.insert(*c->clippingID());
    EXPECT_EQ(kept.size(), 4u);
    EXPECT_TRUE(kept.count(*placeholder->clippingID()));
    EXPECT_FALSE(kept.count(*emptyUploaded->clippingID()));
}

TEST_F(TLPasteboardManagerHistoryTest, TrimKeepsTheNewestListedAndShownClippings) {
    struct Row {
        const char* name;
        int total;
        int listedOldest;
        int empties;
        bool emptyInList;
        int64_t limit;
        size_t kept;
        const char* over;
        const char* deleted;
    };
    const Row rows[] = {
        {"150 at 100", 150, 0, 0, false, 100, 100, "Tavlo history is 50 over the limit", "50 clippings will be deleted"},
        {"30 of the oldest listed", 150, 30, 0, false, 100, 130, "Tavlo history is 50 over the limit",
         "20 clippings will be deleted"},
        {"one over", 101, 0, 0, false, 100, 100, "Tavlo history is 1 over the limit", "1 clipping will be deleted"},
        {"two over", 102, 0, 0, false, 100, 100, "Tavlo history is 2 over the limit", "2 clippings will be deleted"},
        {"at the limit", 100, 0, 0, false, 100, 100, "Tavlo history is 0 over the limit", "0 clipping will be deleted"},
        {"empty clippings go, listed or not", 10, 0, 2, true, 100, 10, "Tavlo history is 0 over the limit",
         "0 clipping will be deleted"},
        {"limit 0 trims nothing", 150, 0, 2, false, 0, 152, nullptr, nullptr},
        {"a negative limit trims nothing", 150, 0, 0, false, -5, 150, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        clear();
        auto list = makeList(List::makeListID(), "Kept");
        std::vector<std::shared_ptr<Clipping>> clippings;
        for (int i = 0; i < row.total; ++i) clippings.push_back(add(i));
        for (int i = 0; i < row.listedOldest; ++i) clippings[size_t(row.total - 1 - i)]->setList(list);
        for (int i = 0; i < row.empties; ++i) {
            auto empty = add(-1 - i, std::nullopt);  // newest of all: only their emptiness removes them
            if (row.emptyInList) empty->setList(list);
        }
        giveFolder(*clippings.front());
        giveFolder(*clippings.back());
        ASSERT_TRUE(context_->save().ok());

        trim(row.limit);

        EXPECT_EQ(savedClippings().size(), row.kept);
        EXPECT_TRUE(logged(foundation::format("Trim Tavlo history to limit %@", row.limit)));
        if (row.over) {
            EXPECT_TRUE(logged(row.over));
            EXPECT_TRUE(logged(row.deleted));
        } else {
            EXPECT_EQ(trimLines(), std::vector<std::string>{foundation::format("Trim Tavlo history to limit %@", row.limit)});
        }
        EXPECT_TRUE(fs::exists(folderOf(*clippings.front())));
        const bool oldestGone = row.limit > 0 && row.total > row.limit && row.listedOldest == 0;
        EXPECT_EQ(fs::exists(folderOf(*clippings.back())), !oldestGone);
        // The main context took in the deletions made where the store is written.
        EXPECT_EQ(clippings.back()->isDeleted(), oldestGone);
        context_->deleteObject(list);
        ASSERT_TRUE(context_->save().ok());
    }
}

TEST_F(TLPasteboardManagerHistoryTest, OfClippingsSharingAnIdentifierTheNewestStays) {
    const std::string shared = Clipping::makeClippingID();
    auto older = add(5, "older", shared);
    auto newer = add(3, "newer", shared);
    auto other = add(4, "other");
    giveFolder(*newer);
    ASSERT_TRUE(context_->save().ok());

    trim(0);  // the pass runs whatever the limit

    auto saved = savedClippings();
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0]->text(), "newer");
    EXPECT_EQ(saved[1]->text(), "other");
    EXPECT_EQ(duplicatesRemoved_, 1);
    EXPECT_TRUE(logged(foundation::format("Duplicate clipping with ID %@ found. (%@ total). Deleting.", shared, 2)));
    EXPECT_TRUE(fs::exists(folderOf(*newer)));  // the survivor's folder

    trim(0);  // nothing left to remove: no notification
    EXPECT_EQ(duplicatesRemoved_, 1);
}

TEST_F(TLPasteboardManagerHistoryTest, DeletingAClippingTakesItsFolder) {
    auto c = add(1);
    auto other = add(2);
    giveFolder(*c);
    giveFolder(*other);
    ASSERT_TRUE(context_->save().ok());
    const std::string clippingID = *c->clippingID();
    manager_->deleteClipping(c);
    EXPECT_FALSE(fs::exists(folderOf(*other).parent_path() / clippingID));
    EXPECT_TRUE(fs::exists(folderOf(*other)));
    ASSERT_EQ(savedClippings().size(), 1u);
    EXPECT_TRUE(logged("Deleting clipping with ID: " + clippingID));
    EXPECT_TRUE(logged("Deleting assets for clipping with ID: " + clippingID));
}

TEST_F(TLPasteboardManagerHistoryTest, OnlyAClippingsOwnFolderIsEverRemoved) {
    auto c = add(1);
    giveFolder(*c);
    ASSERT_TRUE(context_->save().ok());
    const fs::path assets = folderOf(*c).parent_path();
    std::ofstream(assets / "keep.txt") << "x";
    fs::create_directories(home_.root() / "outside");
    for (const char* clippingID : {"", "C-", "..", "C-../..", "C-/", "../outside", "C-00000000-0000-0000-0000-000000000000/.."})
        manager_->deleteAssetsForClippingWithID(clippingID);
    EXPECT_TRUE(fs::exists(folderOf(*c)));
    EXPECT_TRUE(fs::exists(assets / "keep.txt"));
    EXPECT_TRUE(fs::exists(home_.root() / "outside"));
    manager_->deleteAssetsForClippingWithID(*c->clippingID());
    EXPECT_FALSE(fs::exists(folderOf(*c)));
    manager_->deleteAssetsForClippingWithID(*c->clippingID());  // nothing there any more
}

TEST_F(TLPasteboardManagerHistoryTest, DeletingAListTakesItsClippingsFolders) {
    auto list = makeList(List::makeListID(), "Work");
    auto member = add(1);
    member->setList(list);
    auto outsider = add(2);
    giveFolder(*member);
    giveFolder(*outsider);
    ASSERT_TRUE(context_->save().ok());
    manager_->deleteList(list);
    EXPECT_FALSE(fs::exists(folderOf(*member)));
    EXPECT_TRUE(fs::exists(folderOf(*outsider)));
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(savedClippings().size(), 2u);  // the model nullifies the members' list
    EXPECT_FALSE(member->list());
}

TEST_F(TLPasteboardManagerHistoryTest, AFailedDeletionSaveKeepsTheFoldersAndIsLogged) {
    manager_.reset();
    bool fail = true;
    const foundation::Error full("NSCocoaErrorDomain", 134030, "The disk is full.");
    TLPasteboardManager::Configuration configuration;
    configuration.saveContext = [&](store::Context& context) -> foundation::Result<void> {
        if (fail) return full;
        return context.save();
    };
    start(std::move(configuration));
    auto list = makeList(List::makeListID(), "Work");
    auto member = add(1);
    member->setList(list);
    auto single = add(2);
    giveFolder(*member);
    giveFolder(*single);
    ASSERT_TRUE(context_->save().ok());

    manager_->deleteClipping(single);
    manager_->deleteList(list);
    // Both clippings are still stored, so their files stay with them.
    EXPECT_TRUE(fs::exists(folderOf(*single)));
    EXPECT_TRUE(fs::exists(folderOf(*member)));
    EXPECT_EQ(savedClippings().size(), 2u);
    EXPECT_EQ(errorsIn(TLLogContextSync),
              std::vector<std::string>(2, "Error saving changes to local store: " + full.description()));

    // The next save that succeeds writes the deletion; the folder of a
    // clipping whose deletion is saved then goes with the next one.
    fail = false;
    auto later = add(3);
    giveFolder(*later);
    manager_->deleteClipping(later);
    EXPECT_FALSE(fs::exists(folderOf(*later)));
    EXPECT_EQ(savedClippings().size(), 1u);
}

TEST_F(TLPasteboardManagerHistoryTest, ClippingsAndTheirListGoInOneSaveOrNotAtAll) {
    manager_.reset();
    bool fail = true;
    int saves = 0;
    TLPasteboardManager::Configuration configuration;
    configuration.saveContext = [&](store::Context& context) -> foundation::Result<void> {
        ++saves;
        if (!fail) return context.save();
        context.processPendingChanges();  // a real save fails after the delete rules ran
        return foundation::Error("NSCocoaErrorDomain", 640, "The disk is full.");
    };
    start(std::move(configuration));
    auto list = makeList(List::makeListID(), "Work");
    std::vector<std::shared_ptr<Clipping>> members;
    for (int i = 0; i < 3; ++i) {
        auto member = add(i);
        member->setList(list);
        auto asset = std::static_pointer_cast<Asset>(context_->insertNewObject(Asset::kEntityName));
        asset->setFilename("0.public.utf8-plain-text");
        asset->setClipping(member);
        members.push_back(member);
    }
    auto outsider = add(9);
    ASSERT_TRUE(context_->save().ok());
    for (const auto& member : members) giveFolder(*member);
    auto assets = [&] {
        store::FetchRequest request(Asset::kEntityName);
        auto count = context_->count(request);
        return count ? count.value() : -1;
    };
    ASSERT_EQ(assets(), 3);

    // Refused: nothing is deleted, not even what the delete rules reached.
    EXPECT_FALSE(manager_->deleteClippings(members, list));
    EXPECT_EQ(saves, 1);
    EXPECT_FALSE(context_->hasChanges());
    for (const auto& member : members) {
        EXPECT_TRUE(fs::exists(folderOf(*member)));
        EXPECT_EQ(member->list(), list);
    }
    EXPECT_EQ(assets(), 3);
    fail = false;
    outsider->setText("edited");
    ASSERT_TRUE(context_->save().ok());  // the next save stores no deletion
    EXPECT_EQ(savedClippings().size(), 4u);

    // Saved: one save, then the folders go.
    EXPECT_TRUE(manager_->deleteClippings(members, list));
    EXPECT_EQ(saves, 2);
    for (const auto& member : members) EXPECT_FALSE(fs::exists(folderOf(*member)));
    EXPECT_EQ(savedClippings().size(), 1u);
    EXPECT_EQ(assets(), 0);
}

}  // namespace
