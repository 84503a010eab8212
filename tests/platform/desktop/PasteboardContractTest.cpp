// The pasteboard contract for the in-process back-ends (the X11 clipboard runs
// it in the X11 test program), and what is particular to each.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QMimeData>

#include "platform/desktop/DragPasteboard.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/desktop/SystemPasteboard.h"
#include "platform/foundation/Date.h"
#include "tests/platform/desktop/PasteboardContract.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"

using desktop::PasteboardItem;
using pasteboardtest::item;
using pasteboardtest::threeItems;

namespace {

constexpr const char* kText = foundation::kUTTypeUTF8PlainText;

struct MemoryBackend {
    desktop::MemoryPasteboard pasteboard;
    static constexpr bool kForeignWriter = true;
    static constexpr bool kNeedsDisplay = false;
    void foreignWrite(const std::string& text) { pasteboard.externalWrite({item({{kText, text}})}); }
    void settle() {}
};

struct DragBackend {
    desktop::DragPasteboard pasteboard;
    static constexpr bool kForeignWriter = false;
    static constexpr bool kNeedsDisplay = false;
    void foreignWrite(const std::string&) {}
    void settle() {}
};

// Qt's clipboard on the offscreen platform: no X server, Qt's change signal.
struct SystemBackend {
    pasteboardtest::GuiApplication app;
    std::unique_ptr<desktop::SystemPasteboard> owned = desktop::SystemPasteboard::create();
    desktop::SystemPasteboard& pasteboard = *owned;
    static constexpr bool kForeignWriter = true;
    static constexpr bool kNeedsDisplay = false;
    void foreignWrite(const std::string& text) {
        QGuiApplication::clipboard()->setText(QString::fromStdString(text));
        QCoreApplication::processEvents();
    }
    void settle() { QCoreApplication::processEvents(); }
};

using Backends = ::testing::Types<MemoryBackend, DragBackend, SystemBackend>;

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

namespace pasteboardtest {
INSTANTIATE_TYPED_TEST_SUITE_P(InProcess, PasteboardContractTest, Backends);
}  // namespace pasteboardtest
