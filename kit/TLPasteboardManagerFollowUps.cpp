// What the pasteboard manager does after a clipping made from a pasteboard
// item was saved: fetch its page title or the image its link names, trim the
// history, and in plain-text mode put only its text back on the clipboard.

#include <filesystem>
#include <string>

#include "kit/Asset.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/UserDefaults.h"

namespace {

// How often a follow-up waiting for the sync engine looks at the clipping.
constexpr double kRecordCheckInterval = 0.25;
// How long it waits at most: offline, no record comes, and the follow-up
// (a page title, an image) is worth more than the edit reaching other devices
// as a change of the record.
constexpr double kRecordWaitLimit = 120;
// How long after a capture the plain-text rewrite comes.
constexpr double kPlainTextRewriteDelay = 0.5;



// Deleted, or gone with its context: nothing may be written for it any more.
bool isGone(const Clipping& clipping) { return clipping.isDeleted() || !clipping.managedObjectContext(); }

enum class FollowUp { None, ImageDownload, TitleFetch };

// An item that offered an image but delivered none has its image at its
// link; any other link gets its page's title.
FollowUp dueFollowUp(const Clipping& clipping, bool hasImage) {
    if (clipping.image()) return FollowUp::None;
    if (hasImage) return TLNonEmpty(clipping.url()) ? FollowUp::ImageDownload : FollowUp::None;
    return TLNonEmpty(clipping.url()) || TLNonEmpty(clipping.urlSource()) ? FollowUp::TitleFetch : FollowUp::None;
}

}  // namespace

void TLPasteboardManager::followUpNewClipping(const std::shared_ptr<Clipping>& clipping, bool hasImage,
                                              bool fromGeneral, const Completion& completion) {
    auto defaults = TLSettings();
    if (dueFollowUp(*clipping, hasImage) != FollowUp::None) {
        if (defaults->boolForKey(TLUserDefaultsSyncEnabled)) {
            // The later edit must go up as a change of the clipping's record, so
            // the follow-up waits until the sync engine has stored that record.
            std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
            auto fields = clipping->recordSystemFields();
            auto holder = std::make_shared<std::weak_ptr<NSTimerBlocks::Timer>>();
            const double until = dispatch::Clock::now() + kRecordWaitLimit;
            auto timer = NSTimerBlocks::timerWithTimeInterval(
                kRecordCheckInterval,
                [weak, holder, clipping, hasImage, fields, until] {
                    auto self = weak.lock();
                    auto timer = holder->lock();
                    if (!timer || !timer->isValid()) return;
                    if (!self) return timer->invalidate();
                    if (dispatch::Clock::now() >= until && !isGone(*clipping)) {
                        timer->invalidate();
                        TLLogInfo(TLLogContextPasteboard,
                                  "No sync record for clipping with ID %@ after %@ seconds; following up without it",
                                  clipping->clippingID(), int64_t(kRecordWaitLimit));
                        return self->runDueFollowUp(clipping, hasImage);
                    }
                    self->checkIfRecordIsSaved(timer, clipping, hasImage, fields);
                },
                true);
            *holder = timer;
            timer->scheduleOnQueue(dispatch::Queue::main());
        } else {
            runDueFollowUp(clipping, hasImage);
        }
    }
    if (fromGeneral && TLNonEmpty(clipping->sharedText()) && defaults->boolForKey(TLUserDefaultsPlainTextMode)) {
        // The rewrite replaces only what this capture recorded: a copy made in
        // the meantime is newer and stays on the clipboard.
        const int64_t captured = defaults->integerForKey(TLUserDefaultsPasteboardChangeCount);
        std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
        dispatch::after(kPlainTextRewriteDelay, dispatch::Queue::main(), [weak, clipping, captured] {
            auto self = weak.lock();
            if (!self || !self->generalPasteboard_ || isGone(*clipping)) return;
            if (self->generalPasteboard_->changeCount() != captured) return;
            self->copyClippings({clipping}, std::string("{text}"), self->generalPasteboard_, true);
        });
    }
    if (completion) completion(clipping);
}

void TLPasteboardManager::checkIfRecordIsSaved(const std::shared_ptr<NSTimerBlocks::Timer>& timer,
                                               const std::shared_ptr<Clipping>& clipping, bool hasImage,
                                               const std::optional<foundation::Data>& recordSystemFields) {
    foundation::systemLog("Check if record is saved");
    if (isGone(*clipping)) return timer->invalidate();
    // With sync switched off no record will come: the follow-up runs now, as
    // it would have for a capture made with sync off.
    if (!TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) {
        timer->invalidate();
        return runDueFollowUp(clipping, hasImage);
    }
    auto fields = clipping->recordSystemFields();
    if (!fields || (recordSystemFields && *fields == *recordSystemFields)) return;
    timer->invalidate();
    runDueFollowUp(clipping, hasImage);
}

void TLPasteboardManager::runDueFollowUp(const std::shared_ptr<Clipping>& clipping, bool hasImage) {
    if (isGone(*clipping)) return;
    switch (dueFollowUp(*clipping, hasImage)) {
        case FollowUp::ImageDownload: return downloadRemoteClippingImage(clipping);
        case FollowUp::TitleFetch: return fetchPageTitleForClipping(clipping);
        case FollowUp::None: return;
    }
}

void TLPasteboardManager::downloadRemoteClippingImage(const std::shared_ptr<Clipping>& clipping) {
    const std::string url = clipping->url().value_or("");
    foundation::systemLog(foundation::format("Download Remote Clipping Image: %@", url));
    if (!linkFetcher_) return;
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    linkFetcher_->downloadImage(url, [weak, clipping](std::optional<TLLinkFetcher::Image> image) {
        auto self = weak.lock();
        if (!self || !image || isGone(*clipping)) return;
        const std::string clippingID = clipping->clippingID().value_or("");
        auto name = NSFileManagerExtras::assetFileName(0, image->type);
        auto file = name ? NSFileManagerExtras::URLForAssetFile(clippingID, *name) : std::nullopt;
        if (!file) return;
        // The image (up to the fetcher's 32 MiB) is written and flushed where
        // asset files are written; the record follows on the main queue.
        auto downloaded = std::make_shared<TLLinkFetcher::Image>(std::move(*image));
        // The clipping is only carried through the writer queue, and handed
        // back to the main queue, which alone touches (and releases) it.
        self->writerQueue_->async([weak, clipping, downloaded, name = *name, file = *file]() mutable {
            // An image that cannot be stored is not recorded either.
            auto stored = foundation::Paths::createDirectory(file.filePath().parent_path());
            if (stored) stored = downloaded->data.writeToFile(file.filePath(), 0600);
            const bool written = stored.ok();
            if (written) TLLogInfo(TLLogContextPasteboard, "Image data downloaded to %@", file);
            else TLLogError(TLLogContextPasteboard, "Error writing downloaded image: %@", stored.error().description());
            dispatch::Queue::main()->async([weak, clipping = std::move(clipping), name, type = downloaded->type, written] {
                auto self = weak.lock();
                if (!self || !written || isGone(*clipping)) return;
                self->recordDownloadedImage(clipping, name, type);
            });
        });
    });
}

void TLPasteboardManager::recordDownloadedImage(const std::shared_ptr<Clipping>& clipping, const std::string& name,
                                                const std::string& type) {
    const std::string clippingID = clipping->clippingID().value_or("");
    store::Context* context = clipping->managedObjectContext();
    context->performBlockAndWait([&] {
        auto asset = std::dynamic_pointer_cast<Asset>(context->insertNewObject(Asset::kEntityName));
        if (!asset) return;
        asset->setAssetID(Asset::makeAssetID(clippingID, name));
        asset->setModifiedDate(NSDateCloudKit::currentServerDate());
        asset->setSync(true);
        asset->setFilename(name);
        asset->setClipping(clipping);
        clipping->setImage(type);
        clipping->setSync(true);
        clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
        if (auto saved = saveClippingContext(*context); !saved)
            TLLogError(TLLogContextPasteboard, "Error saving clipping in local store: %@", saved.error().description());
    });
}

void TLPasteboardManager::fetchPageTitleForClipping(const std::shared_ptr<Clipping>& clipping) {
    fetchPageTitleForClipping(clipping, nullptr);
}

void TLPasteboardManager::fetchPageTitleForClipping(const std::shared_ptr<Clipping>& clipping,
                                                    std::function<void()> completion) {
    if (!clipping) return;
    TLLogInfo(TLLogContextPasteboard, "Fetching page title for clipping with ID: %@", clipping->clippingID());
    if ((!TLNonEmpty(clipping->url()) && !TLNonEmpty(clipping->urlSource())) || clipping->image() || !linkFetcher_) return;
    std::string url = clipping->url().value_or("");
    if (url.empty() || !foundation::URL::parse(url)) url = clipping->urlSource().value_or("");
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    linkFetcher_->fetchTitle(url, [weak, clipping, completion](TLLinkFetcher::TitleResult result) {
        auto self = weak.lock();
        // A page announced as large is not worth its title: the clipping stays
        // as it is, to be asked about again.
        if (!self || result.outcome == TLLinkFetcher::TitleOutcome::TooLarge) return;
        // A clipping deleted while its page loaded gets nothing written back.
        if (isGone(*clipping)) {
            if (completion) completion();
            return;
        }
        const auto clippingID = clipping->clippingID();
        if (result.outcome != TLLinkFetcher::TitleOutcome::Title) {
            TLLogInfo(TLLogContextPasteboard, "Web page title not available for clipping with ID %@", clippingID);
            // An empty name marks a link whose title was looked for.
            if (!clipping->urlName()) {
                clipping->setUrlName(std::string());
                clipping->setSync(true);
                clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
            }
        } else {
            if (result.title == clipping->urlName() || result.title == clipping->url()) {
                TLLogInfo(TLLogContextPasteboard, "Web page title same as URL for clipping with ID %@", clippingID);
                clipping->setUrlName(std::string());
            } else {
                TLLogInfo(TLLogContextPasteboard, "Saving web page title for clipping with ID %@", clippingID);
                clipping->setUrlName(result.title);
            }
            clipping->setSync(true);
            clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
        }
        store::Context* context = clipping->managedObjectContext();
        if (context->hasChanges()) {
            if (auto saved = self->saveClippingContext(*context); !saved)
                TLLogError(TLLogContextPasteboard, "Error saving clipping in local store: %@", saved.error().description());
        }
        if (completion) completion();
    });
}
