#pragma once
// The desktop clipboard: the X11 CLIPBOARD selection. Main thread only (Qt's
// clipboard lives there); needs a QGuiApplication.
//
// Writes go through QClipboard, which answers other programs' requests from
// Qt's event loop and hands the content to a clipboard manager at exit. Every
// write carries the whole item list in our archive target beside item 0's
// ordinary types, so reading our own write back gives exactly what was written.
//
// On X11, the count and reads of other programs' content use a connection of
// our own (X11Selection): the count rises on each change of the selection's
// owner unless the new owner is a window of this process's Qt connection (the
// echo of our own write, already counted by clearContents()), and reads are
// bounded by ReadLimits; what a read leaves out is logged in one line. Our own
// content is read from memory: asking the X server for it would wait on the
// event loop this thread is busy in. On other Qt platforms (offscreen in
// tests, Wayland) QClipboard's change signal drives the count and reads take
// Qt's data, whose waits Qt bounds.
//
// A read is made once per change: the items are kept until the count moves.
//
// The questions (itemCount, containsType, dataForType) never read another
// program's whole content: on X11 they ask its owner for the names of the
// targets it offers (once per change, waiting kQuestionWait at most, so a
// stalled owner costs a menu that long once) and read only the targets the
// type asked for needs. Before the content was read, it counts as one item
// when it offers anything readable: how many files a list names is in its
// content.

#include <memory>

#include "platform/desktop/Pasteboard.h"

namespace desktop {

class SystemPasteboard final : public Pasteboard {
public:
    // Nothing without a QGuiApplication.
    static std::unique_ptr<SystemPasteboard> create(ReadLimits limits = {});
    ~SystemPasteboard() override;

    // Whether changes and reads go through the X server directly.
    bool usesX11() const;

    // The longest a question waits for another program's answer.
    static constexpr std::chrono::milliseconds kQuestionWait{250};

    int64_t changeCount() override;
    std::vector<PasteboardItem> items() override;
    int64_t clearContents() override;
    foundation::Result<void> writeItems(const std::vector<PasteboardItem>& items) override;
    size_t itemCount() override;
    bool containsType(const std::string& type) override;
    std::optional<foundation::Data> dataForType(const std::string& type) override;

private:
    explicit SystemPasteboard(ReadLimits limits);

    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace desktop
