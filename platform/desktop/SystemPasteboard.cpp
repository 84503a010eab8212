#include "platform/desktop/SystemPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QtGui/qguiapplication_platform.h>

#include <algorithm>
#include <cassert>
#include <optional>

#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/LogSink.h"
#include "platform/desktop/MimeDataCodec.h"
#include "platform/desktop/PasteboardTypeMap.h"
#include "platform/desktop/X11Selection.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/ThreadIdentity.h"

namespace desktop {

struct SystemPasteboard::State {
    ReadLimits limits;
    QClipboard* clipboard = nullptr;
    std::unique_ptr<X11Selection> x11;
    X11Selection::ClientIDs ownWindows;  // the windows of Qt's connection: our own writes
    QMetaObject::Connection changed;     // without X11: Qt's change signal

    int64_t count = 0;
    bool writer = false;  // the content is ours (written since our last clear)
    std::vector<PasteboardItem> ownItems;
    const QMimeData* ownMimeData = nullptr;  // without X11: what we gave Qt, to know our own echo
    bool publishing = false;
    std::optional<std::pair<int64_t, std::vector<PasteboardItem>>> cache;
    std::optional<std::pair<int64_t, std::vector<std::string>>> offered;  // the owner's target names at a count

    void noteForeignChange() {
        ++count;
        writer = false;
        ownMimeData = nullptr;
        cache.reset();
    }

    void drainOwnerChanges() {
        if (!x11) return;
        for (uint32_t owner : x11->takeOwnerChanges()) {
            if (!ownWindows.contains(owner)) noteForeignChange();
        }
    }

    // The items known without asking anyone: ours, or a read of this change.
    const std::vector<PasteboardItem>* known(int64_t at) const {
        if (writer) return &ownItems;
        if (cache && cache->first == at) return &cache->second;
        return nullptr;
    }

    // What the owner offers, asked once per change; nothing from a silent owner.
    const std::vector<std::string>& offeredTargets(int64_t at) {
        if (!offered || offered->first != at) {
            auto answer = x11->targets(std::chrono::steady_clock::now() + kQuestionWait, limits.maxTargets);
            offered.emplace(at, answer ? std::move(answer.value()) : std::vector<std::string>{});
        }
        return offered->second;
    }

    // The items a few targets make, each read within the limits and all by
    // the wait; nothing when the clipboard changed hands meanwhile.
    std::vector<PasteboardItem> readTargets(int64_t at, const std::vector<std::string>& names,
                                            std::chrono::milliseconds patience, std::chrono::milliseconds wait) {
        auto deadline = std::chrono::steady_clock::now() + wait;
        std::vector<ClipboardTarget> fetched;
        for (const auto& name : names) {
            auto answer = x11->convert(name, limits.maxRepresentationBytes, patience, deadline);
            if (!answer) continue;
            X11Selection::Answer& got = answer.value();
            if (!PasteboardTypeMap::replyFits(name, got.type, got.format, got.data.length())) continue;
            fetched.push_back({name, std::move(got.data)});
        }
        drainOwnerChanges();
        if (count != at) return {};
        return PasteboardTypeMap::itemsFromTargets(fetched);
    }

    std::vector<PasteboardItem> readX11() { return ClipboardReader::readItems(*x11, limits); }

    std::vector<PasteboardItem> readQt() {
        const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard);
        if (!data) return {};
        std::vector<std::string> skipped;
        std::vector<PasteboardItem> items = MimeDataCodec::read(*data, limits, skipped);
        if (!skipped.empty())
            DESKTOP_LOG_NOTE(LogTopic::Pasteboard, "Clipboard content left out: " + PasteboardTypeMap::joinedNotes(skipped));
        return items;
    }

    void publish() {
        auto* data = new QMimeData;
        MimeDataCodec::write(*data, ownItems);
        publishing = true;
        clipboard->setMimeData(data, QClipboard::Clipboard);  // Qt owns data from here
        publishing = false;
        ownMimeData = data;
        cache = std::make_pair(count, ownItems);
    }
};

SystemPasteboard::SystemPasteboard(ReadLimits limits) : s_(std::make_unique<State>()) {
    s_->limits = limits;
    s_->count = seedChangeCount();
    s_->clipboard = QGuiApplication::clipboard();
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        auto* native = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (native && native->connection()) {
            s_->ownWindows = X11Selection::clientIDsOf(native->connection());
            s_->x11 = X11Selection::open("CLIPBOARD");
        }
    }
    if (!s_->x11) {
        State* s = s_.get();
        s_->changed = QObject::connect(s_->clipboard, &QClipboard::changed, [s](QClipboard::Mode mode) {
            if (mode != QClipboard::Clipboard || s->publishing) return;
            if (s->ownMimeData && s->clipboard->mimeData(QClipboard::Clipboard) == s->ownMimeData) return;
            s->noteForeignChange();
        });
    }
}

SystemPasteboard::~SystemPasteboard() {
    QObject::disconnect(s_->changed);
}

std::unique_ptr<SystemPasteboard> SystemPasteboard::create(ReadLimits limits) {
    if (!qGuiApp) return nullptr;
    return std::unique_ptr<SystemPasteboard>(new SystemPasteboard(limits));
}

bool SystemPasteboard::usesX11() const { return s_->x11 != nullptr; }

int64_t SystemPasteboard::changeCount() {
    assert(foundation::isMainThread());
    s_->drainOwnerChanges();
    return s_->count;
}

std::vector<PasteboardItem> SystemPasteboard::items() {
    int64_t count = changeCount();
    if (s_->cache && s_->cache->first == count) return s_->cache->second;
    std::vector<PasteboardItem> items;
    if (s_->writer) {
        items = s_->ownItems;
    } else {
        items = s_->x11 ? s_->readX11() : s_->readQt();
    }
    s_->cache = std::make_pair(count, items);
    return items;
}

size_t SystemPasteboard::itemCount() {
    if (!s_->x11) return Pasteboard::itemCount();
    int64_t count = changeCount();
    if (auto* items = s_->known(count)) return items->size();
    return PasteboardTypeMap::planRead(s_->offeredTargets(count)).fetch.empty() ? 0 : 1;
}

bool SystemPasteboard::containsType(const std::string& type) {
    if (!s_->x11) return Pasteboard::containsType(type);
    int64_t count = changeCount();
    if (auto* items = s_->known(count))
        return std::any_of(items->begin(), items->end(), [&](const PasteboardItem& item) { return item.hasType(type); });
    bool direct = false;
    auto names = PasteboardTypeMap::targetsForType(s_->offeredTargets(count), type, &direct);
    if (direct || names.empty()) return direct;
    // A list or a hint says what it holds only in its content, which is small.
    for (const auto& item : s_->readTargets(count, names, kQuestionWait, kQuestionWait)) {
        if (item.hasType(type)) return true;
    }
    return false;
}

std::optional<foundation::Data> SystemPasteboard::dataForType(const std::string& type) {
    if (!s_->x11) return Pasteboard::dataForType(type);
    int64_t count = changeCount();
    auto first = [&](const std::vector<PasteboardItem>& items) -> std::optional<foundation::Data> {
        for (const auto& item : items) {
            if (const foundation::Data* data = item.data(type)) return *data;
        }
        return std::nullopt;
    };
    if (auto* items = s_->known(count)) return first(*items);
    auto names = PasteboardTypeMap::targetsForType(s_->offeredTargets(count), type);
    if (names.empty()) return std::nullopt;
    return first(s_->readTargets(count, names, s_->limits.requestTimeout, s_->limits.readBudget));
}

int64_t SystemPasteboard::clearContents() {
    assert(foundation::isMainThread());
    changeCount();
    ++s_->count;
    s_->writer = true;
    s_->ownItems.clear();
    s_->publish();
    return s_->count;
}

foundation::Result<void> SystemPasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    assert(foundation::isMainThread());
    changeCount();
    if (!s_->writer) clearContents();
    s_->ownItems.insert(s_->ownItems.end(), items.begin(), items.end());
    s_->publish();
    return {};
}

}  // namespace desktop
