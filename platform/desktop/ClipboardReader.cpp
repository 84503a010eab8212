#include "platform/desktop/ClipboardReader.h"

#include <algorithm>

#include "platform/desktop/LogSink.h"
#include "platform/desktop/PasteboardTypeMap.h"
#include "platform/desktop/X11Selection.h"
#include "platform/foundation/Format.h"

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
    content.items = readItems(*selection_, limits_, &content.incompleteForTime);
    content.changedDuringRead = !selection_->takeOwnerChanges().empty();
    return content;
}

std::vector<PasteboardItem> ClipboardReader::readItems(X11Selection& selection, const ReadLimits& limits,
                                                       bool* incompleteForTime) {
    // A share never shorter than this, so a quick owner's many formats still get asked.
    constexpr std::chrono::milliseconds kLeastShare{250};
    bool timedOut = false;
    auto report = [&](std::vector<PasteboardItem> items) {
        if (incompleteForTime) *incompleteForTime = timedOut;
        return items;
    };
    std::vector<std::string> skipped;
    auto start = Clock::now();
    auto budget = start + limits.readBudget;
    auto offered = selection.targets(std::min(start + limits.requestTimeout, budget), limits.maxTargets);
    if (!offered) {
        // No owner (an empty clipboard) is no news; an owner that stays silent is.
        if (selection.owner() != 0) {
            timedOut = offered.error().code == X11Selection::kNoAnswer;
            DESKTOP_LOG_NOTE(LogTopic::Pasteboard, "Clipboard content not read: " + offered.error().localizedDescription());
        }
        return report({});
    }
    size_t total = 0;
    size_t left = std::max<size_t>(PasteboardTypeMap::planRead(offered.value()).fetch.size(), 1);
    bool markerMissed = false;
    auto fetch = [&](const std::string& name) -> std::optional<foundation::Data> {
        std::string shown = PasteboardTypeMap::describeTarget(name);
        auto now = Clock::now();
        size_t share = left > 1 ? left-- : 1;
        auto missed = [&] {
            timedOut = true;
            markerMissed = markerMissed || PasteboardTypeMap::readPriority(name) == 0;
        };
        if (now >= budget) {
            missed();
            skipped.push_back(shown + " (read time used up)");
            return std::nullopt;
        }
        auto patience = std::min(limits.requestTimeout,
                                 std::max(kLeastShare, std::chrono::ceil<std::chrono::milliseconds>((budget - now) / share)));
        size_t room = std::min(limits.maxRepresentationBytes, limits.maxTotalBytes - total);
        auto answer = selection.convert(name, room, patience, budget);
        if (!answer) {
            // A refusal is the owner's ordinary answer for a target it lists but cannot give.
            if (answer.error().code == X11Selection::kNoAnswer) missed();
            if (answer.error().code != X11Selection::kRefused)
                skipped.push_back(shown + " (" + answer.error().localizedDescription() + ")");
            return std::nullopt;
        }
        X11Selection::Answer& got = answer.value();
        if (!PasteboardTypeMap::replyFits(name, got.type, got.format, got.data.length())) {
            skipped.push_back(foundation::format("%@ (answered as %@ in %@-bit units)", shown,
                                                 PasteboardTypeMap::describeTarget(got.type), static_cast<int>(got.format)));
            return std::nullopt;
        }
        total += got.data.length();
        return std::move(got.data);
    };
    std::vector<PasteboardItem> items = PasteboardTypeMap::readItems(offered.value(), fetch, skipped);
    if (markerMissed) {
        items.clear();
        skipped.push_back("everything (a marker was not read)");
    }
    if (!skipped.empty())
        DESKTOP_LOG_NOTE(LogTopic::Pasteboard, "Clipboard content left out: " + PasteboardTypeMap::joinedNotes(skipped));
    return report(std::move(items));
}

}  // namespace desktop
