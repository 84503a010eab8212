// One suite for every pasteboard back-end, so none drifts from the others:
// our own writes, the change count, and (where another writer can be played)
// foreign changes.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QMimeData>

#include "platform/desktop/DragPasteboard.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/desktop/SystemPasteboard.h"
#include "platform/foundation/Date.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"

using desktop::PasteboardItem;
using pasteboardtest::item;
using pasteboardtest::threeItems;

namespace {

constexpr const char* kText = foundation::kUTTypeUTF8PlainText;

struct MemoryBackend {
    desktop::MemoryPasteboard pasteboard;
    static constexpr bool kForeignWriter = true;
    void foreignWrite(const std::string& text) { pasteboard.externalWrite({item({{kText, text}})}); }
};

struct DragBackend {
    desktop::DragPasteboard pasteboard;
    static constexpr bool kForeignWriter = false;
    void foreignWrite(const std::string&) {}
};

// Qt's clipboard on the offscreen platform: no X server, Qt's change signal.
struct SystemBackend {
    pasteboardtest::GuiApplication app;
    std::unique_ptr<desktop::SystemPasteboard> owned = desktop::SystemPasteboard::create();
    desktop::SystemPasteboard& pasteboard = *owned;
    static constexpr bool kForeignWriter = true;
    void foreignWrite(const std::string& text) {
        QGuiApplication::clipboard()->setText(QString::fromStdString(text));
        QCoreApplication::processEvents();
    }
};

template <class Backend>
class PasteboardContractTest : public ::testing::Test {
protected:
    Backend backend_;
    desktop::Pasteboard& pasteboard() { return backend_.pasteboard; }
    void settle() {
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
    }
};

using Backends = ::testing::Types<MemoryBackend, DragBackend, SystemBackend>;
TYPED_TEST_SUITE(PasteboardContractTest, Backends);

TYPED_TEST(PasteboardContractTest, OwnWriteIsOneChangeAndReadsBackExactly) {
    int64_t before = this->pasteboard().changeCount();
    EXPECT_EQ(this->pasteboard().clearContents(), before + 1);
    ASSERT_TRUE(this->pasteboard().writeItems(threeItems()));
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 1);
    EXPECT_EQ(this->pasteboard().items(), threeItems());
}

TYPED_TEST(PasteboardContractTest, WritesAppendAfterTheClear) {
    auto a = item({{kText, "a"}});
    auto b = item({{kText, "b"}, {foundation::kUTTypeHTML, "<b>b</b>"}});
    int64_t before = this->pasteboard().changeCount();
    // A write with no clear before it is a change of its own; the next appends.
    ASSERT_TRUE(this->pasteboard().writeItems({a}));
    ASSERT_TRUE(this->pasteboard().writeItems({b}));
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 1);
    EXPECT_EQ(this->pasteboard().items(), (std::vector<PasteboardItem>{a, b}));
    EXPECT_EQ(this->pasteboard().types(), (std::vector<std::string>{kText, foundation::kUTTypeHTML}));

    this->pasteboard().clearContents();
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 2);
    EXPECT_TRUE(this->pasteboard().items().empty());
}

TYPED_TEST(PasteboardContractTest, ForeignChangeCountsOnceAndEndsOurWrite) {
    if (!TypeParam::kForeignWriter) GTEST_SKIP() << "nobody else writes this pasteboard";
    this->pasteboard().clearContents();
    ASSERT_TRUE(this->pasteboard().writeItems(threeItems()));
    int64_t before = this->pasteboard().changeCount();

    this->backend_.foreignWrite("from elsewhere");
    EXPECT_EQ(this->pasteboard().changeCount(), before + 1);
    auto items = this->pasteboard().items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].string(kText), "from elsewhere");

    // Our next write replaces the foreign content rather than appending to it.
    ASSERT_TRUE(this->pasteboard().writeItems({item({{kText, "ours"}})}));
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 2);
    EXPECT_EQ(this->pasteboard().items(), (std::vector<PasteboardItem>{item({{kText, "ours"}})}));
}

TEST(PasteboardCountTest, StartsFromTheClockSoALaterRunStartsHigher) {
    foundation::Date::setClock([] { return 1'700'000'000.0; });
    desktop::MemoryPasteboard earlier;
    for (int i = 0; i < 1000; ++i) earlier.clearContents();
    foundation::Date::setClock([] { return 1'700'000'000.01; });  // 10 ms later
    desktop::MemoryPasteboard later;
    foundation::Date::setClock({});
    EXPECT_GT(later.changeCount(), earlier.changeCount());
}

TEST(MemoryPasteboardTest, SnapshotKeepsTheContentItWasTakenFrom) {
    desktop::MemoryPasteboard source;
    source.externalWrite(threeItems());
    auto snapshot = desktop::MemoryPasteboard::snapshotOf(source);
    source.externalWrite({item({{kText, "later"}})});
    EXPECT_EQ(snapshot->changeCount(), source.changeCount() - 1);
    EXPECT_EQ(snapshot->items(), threeItems());
}

TEST(DragPasteboardTest, DragDataDropsBackAsTheSameItems) {
    desktop::DragPasteboard drag;
    ASSERT_TRUE(drag.writeItems(threeItems()));
    std::unique_ptr<QMimeData> data = drag.makeMimeData();
    // Other programs see the first item's text and every item's file.
    EXPECT_EQ(data->data("text/plain").toStdString(), "first");
    EXPECT_EQ(data->data("text/uri-list").toStdString(), "file:///tmp/x%20y.txt\r\n");
    EXPECT_EQ(desktop::DragPasteboard::fromDrop(*data)->items(), threeItems());
}

TEST(DragPasteboardTest, OversizedRepresentationOfADropIsLeftOut) {
    QMimeData data;
    data.setData("text/plain", "small");
    data.setData("text/html", QByteArray(2048, 'x'));
    desktop::ReadLimits limits;
    limits.maxRepresentationBytes = 1024;
    auto dropped = desktop::DragPasteboard::fromDrop(data, limits);
    ASSERT_EQ(dropped->items().size(), 1u);
    EXPECT_EQ(dropped->items()[0].types(), std::vector<std::string>{kText});
}

}  // namespace
