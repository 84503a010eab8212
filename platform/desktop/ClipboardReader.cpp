#include "platform/desktop/ClipboardReader.h"

#include <algorithm>

#include "logging/TLLog.h"
#include "platform/desktop/PasteboardTypeMap.h"
#include "platform/desktop/X11Selection.h"

namespace desktop {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::unique_ptr<ClipboardReader> ClipboardReader::open(ReadLimits limits) {
    auto selection = X11Selection::open("CLIPBOARD");
    if (!selection) return nullptr;
    return std::unique_ptr<ClipboardReader>(new ClipboardReader(std::move(selection), limits));
}

ClipboardReader::ClipboardReader(std::unique_ptr<X11Selection> selection, ReadLimits limits)
    : selection_(std::move(selection)), limits_(limits) {}

ClipboardReader::~ClipboardReader() = default;

ClipboardReader::Content ClipboardReader::read() {
    std::lock_guard lock(mutex_);
    // Changes before the read are no concern of it: the caller compares counts.
    selection_->takeOwnerChanges();
    Content content;
    content.items = readItems(*selection_, limits_);
    content.changedDuringRead = !selection_->takeOwnerChanges().empty();
    return content;
}

std::vector<PasteboardItem> ClipboardReader::readItems(X11Selection& selection, const ReadLimits& limits) {
    std::vector<std::string> skipped;
    auto start = Clock::now();
    auto budget = start + limits.readBudget;
    auto offered = selection.targets(std::min(start + limits.requestTimeout, budget), limits.maxTargets);
    if (!offered) {
        // No owner (an empty clipboard) is no news; an owner that stays silent is.
        if (selection.owner() != 0)
            TLLogWarning(TLLogContextPasteboard, "Clipboard content not read: %@", offered.error().localizedDescription());
        return {};
    }
    size_t total = 0;
    auto fetch = [&](const std::string& name) -> std::optional<foundation::Data> {
        std::string shown = PasteboardTypeMap::describeTarget(name);
        if (Clock::now() >= budget) {
            skipped.push_back(shown + " (read time used up)");
            return std::nullopt;
        }
        size_t room = std::min(limits.maxRepresentationBytes, limits.maxTotalBytes - total);
        auto data = selection.convert(name, room, limits.requestTimeout, budget);
        if (!data) {
            // A refusal is the owner's ordinary answer for a target it lists but cannot give.
            if (data.error().code != X11Selection::kRefused)
                skipped.push_back(shown + " (" + data.error().localizedDescription() + ")");
            return std::nullopt;
        }
        total += data.value().length();
        return std::move(data).value();
    };
    std::vector<PasteboardItem> items = PasteboardTypeMap::readItems(offered.value(), fetch, skipped);
    if (!skipped.empty())
        TLLogWarning(TLLogContextPasteboard, "Clipboard content left out: %@", PasteboardTypeMap::joinedNotes(skipped));
    return items;
}

}  // namespace desktop
