// Settings shared through the key-value store: the writer's rule (suite,
// notification, then the store only while sync is on), and a limit arriving
// from another device trimming the history.
#include "CaptureFixture.h"

#include "kit/TLMirroredSettings.h"
#include "platform/cloud/MemoryKeyValueStore.h"

namespace {

using foundation::PlistValue;
using Store = cloud::UbiquitousKeyValueStore;

class TLMirroredSettingsTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        Store::setDefaultStore(store_);
        token_ = foundation::NotificationCenter::defaultCenter().addObserver(
            TLUserDefaultsCopyTemplates, nullptr, [this](const foundation::Notification& n) {
                posted_.push_back(n.valueAs<PlistValue>() ? *n.valueAs<PlistValue>() : PlistValue());
            });
    }
    void TearDown() override {
        foundation::NotificationCenter::defaultCenter().removeObserver(token_);
        Store::setDefaultStore(nullptr);
        CaptureFixture::TearDown();
    }

    std::shared_ptr<cloud::MemoryKeyValueStore> store_ = std::make_shared<cloud::MemoryKeyValueStore>();
    std::vector<PlistValue> posted_;
    foundation::NotificationCenter::Token token_ = 0;
};

TEST_F(TLMirroredSettingsTest, AWriteReachesTheStoreOnlyWhileSyncIsOn) {
    PlistValue templates(PlistValue::Array{PlistValue(PlistValue::Dictionary{
        {TLUserDefaultsTemplateName, PlistValue("Plain")}, {TLUserDefaultsTemplateFormat, PlistValue("{text}")}})});
    for (bool sync : {false, true}) {
        SCOPED_TRACE(sync);
        posted_.clear();
        TLSettings()->setBool(sync, TLUserDefaultsSyncEnabled);
        TLMirroredSettings::write(TLUserDefaultsCopyTemplates, templates);
        EXPECT_EQ(TLSettings()->objectForKey(TLUserDefaultsCopyTemplates), templates);
        EXPECT_EQ(posted_, std::vector<PlistValue>{templates});
        EXPECT_EQ(store_->objectForKey(TLUserDefaultsCopyTemplates), sync ? templates : PlistValue());
        EXPECT_EQ(store_->synchronizeCount(), sync ? 1 : 0);
    }
    TLMirroredSettings::write(TLUserDefaultsClipboardSize, PlistValue(int64_t(250)));
    EXPECT_EQ(store_->objectForKey(TLUserDefaultsClipboardSize), PlistValue(int64_t(250))) << "a number";
}

TEST_F(TLMirroredSettingsTest, ALimitFromAnotherDeviceTrimsTheHistory) {
    TLSettings()->setInteger(0, TLUserDefaultsClipboardSize);
    start();
    for (int age = 0; age < 100; ++age) {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(Clipping::makeClippingID());
        c->setText("text " + std::to_string(age));
        c->setTavloDate(foundation::Date(1e6 - age));
        c->setModifiedDate(foundation::Date(1e6 - age));  // as every capture dates it
    }
    ASSERT_TRUE(context_->save().ok());
    ASSERT_EQ(savedClippings().size(), 100u);

    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    store_->setObject(PlistValue(int64_t(50)), TLUserDefaultsClipboardSize);
    foundation::Notification change{Store::kDidChangeExternallyNotification, store_.get(), {}, {}};
    change.userInfo[Store::kChangeReasonKey] = int64_t(Store::kServerChange);
    change.userInfo[Store::kChangedKeysKey] = std::vector<std::string>{TLUserDefaultsClipboardSize};
    EXPECT_EQ(TLMirroredSettings::applyStoreChange(change), std::vector<std::string>{TLUserDefaultsClipboardSize});
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsClipboardSize), 50);
    EXPECT_TRUE(runUntil([this] { return savedClippings().size() == 50; }));
    auto kept = savedClippings();
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.front()->text(), std::optional<std::string>("text 0")) << "the newest stay";
}

}  // namespace
