#include "TLClipboardSync.h"

#include <filesystem>
#include <optional>

#include "kit/Clipping.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLCloudKitSyncManagerShared.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/UserNotificationCenter.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

namespace {

using syncshared::postStatus;

std::vector<std::shared_ptr<Clipping>> clippingsOf(const foundation::Result<store::Context::Objects>& found) {
    std::vector<std::shared_ptr<Clipping>> out;
    if (!found) return out;
    for (const auto& object : found.value())
        if (auto clipping = std::dynamic_pointer_cast<Clipping>(object)) out.push_back(std::move(clipping));
    return out;
}

}  // namespace

TLClipboardSync::TLClipboardSync(Environment environment) : environment_(std::move(environment)) {}

void TLClipboardSync::didReceiveRemoteNotification(const std::shared_ptr<TLCloudKitSyncManager>& engine) {
    TLLogInfo(TLLogContextSync, "Push Notification Received");
    if (!TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) return finishPush();
    postStatus(std::string("Downloading changes"));
    if (!engine) return finishPush();
    std::weak_ptr<TLClipboardSync> weak = weak_from_this();
    engine->fetchChangesFromCloudKitWithCompletion([weak](bool success) {
        if (auto self = weak.lock()) {
            if (success && TLSettings()->boolForKey(TLUserDefaultsClipboardSync) && self->environment_.managedObjectContext)
                self->environment_.managedObjectContext->performBlockAndWait([&self] { self->syncClipboard(); });
        }
        postStatus(std::nullopt);
        dispatch::Queue::main()->async([weak] {
            if (auto self = weak.lock()) self->finishPush();
        });
    });
}

void TLClipboardSync::finishPush() {
    if (!environment_.pushHandled) return;
    // The clipboard is written once the copy's items were made; the push is
    // over when that write is.
    if (environment_.pasteboardManager) environment_.pasteboardManager->afterPendingCopies(environment_.pushHandled);
    else environment_.pushHandled();
}

void TLClipboardSync::syncClipboard() {
    auto& context = environment_.managedObjectContext;
    auto& manager = environment_.pasteboardManager;
    if (!context || !manager) return;
    store::FetchRequest newestRequest(Clipping::kEntityName);
    newestRequest.sortDescriptors = {{"tavloDate", false}};
    newestRequest.fetchLimit = 1;
    auto newest = clippingsOf(context->fetch(newestRequest));
    if (newest.empty()) return;
    const std::optional<foundation::Date> date = newest.front()->tavloDate();
    auto suite = TLSettings();
    const std::optional<foundation::Date> synced = suite->dateForKey(TLUserDefaultsClipboardSyncTavloDate);
    if (!date || (synced && *synced >= *date)) return checkPasteboardForDeletedClippings();
    // Only a clipboard capture made with clipboard sync on goes to other devices' clipboards.
    if (newest.front()->tavloStyle().value_or(0) == 0) return;

    TLLogDebug(TLLogContextSync, "Previous clipboard sync date: %@", date->description());
    store::FetchRequest groupRequest(Clipping::kEntityName);
    auto predicate = store::Predicate::withFormat("tavloDate == %@", store::Value::date(date->timeIntervalSince1970()));
    if (!predicate) return;
    groupRequest.predicate = predicate.value();
    // Indexes another device repeated still come out in one order every time.
    groupRequest.sortDescriptors = {{"pasteboardIndex", true}, {"clippingID", true}};
    auto group = clippingsOf(context->fetch(groupRequest));
    TLLogDebug(TLLogContextSync, "Copy %@ clippings to pasteboard", int64_t(group.size()));
    if (group.empty()) return;
    // Copy-back records the clipboard's change count and these clippings once
    // it has written them; remotely, so nothing moves or goes up again.
    manager->copyClippings(group, group.front()->tavloTemplate(), manager->generalPasteboard(), true);
    if (suite->boolForKey(TLUserDefaultsShowClipboardSyncPushNotifications)) announce(group);
    suite->setObject(*group.front()->tavloDate(), TLUserDefaultsClipboardSyncTavloDate);
    suite->synchronize();
}

void TLClipboardSync::announce(const std::vector<std::shared_ptr<Clipping>>& group) {
    if (environment_.isMainWindowKey && environment_.isMainWindowKey()) return;
    auto center = notificationCenter();
    if (!center) return;
    const bool showContent = TLSettings()->boolForKey(TLUserDefaultsShowClipboardContentInNotification);
    const Clipping& first = *group.front();
    std::string imagePath;
    if (first.image() && showContent && first.tavloTemplate().value_or("").empty()) {
        // A missing file leaves the notification without an image.
        if (auto url = first.URLForImageAssetAtIndex(0)) {
            std::error_code error;
            if (std::filesystem::is_regular_file(url->filePath(), error)) imagePath = url->filePath().string();
        }
    }
    center->removeAllDelivered();
    center->deliver(kNotificationTitle, notificationText(group, showContent), imagePath);
}

std::shared_ptr<desktop::UserNotificationCenter> TLClipboardSync::notificationCenter() {
    if (!notificationCenter_ && environment_.userNotificationCenter) notificationCenter_ = environment_.userNotificationCenter();
    return notificationCenter_;
}

std::string TLClipboardSync::notificationText(const std::vector<std::shared_ptr<Clipping>>& group, bool showContent) {
    if (!showContent || group.empty()) return kDefaultNotificationText;
    // The template of the group's first clipping gives the text whatever it fills in.
    if (auto format = group.front()->tavloTemplate())
        return shortenedText(TLPasteboardManager::stringByFillingTemplate(*format, *group.front()));
    for (const auto& clipping : group) {
        if (auto url = clipping->url(); url && !url->empty()) return shortenedText("🔗 " + *url);
        if (auto text = clipping->sharedText(); text && !text->empty()) return shortenedText(*text);
    }
    return kDefaultNotificationText;
}

std::string TLClipboardSync::shortenedText(const std::string& text) {
    // A character starts at every byte that is not a UTF-8 continuation byte.
    auto starts = [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; };
    size_t characters = 0;
    size_t cut = std::string::npos;  // where the 499th character ends
    for (size_t i = 0; i < text.size(); ++i) {
        if (!starts(text[i])) continue;
        if (characters == kMaxNotificationCharacters - 1) cut = i;
        if (++characters > kMaxNotificationCharacters) return text.substr(0, cut) + "...";
    }
    return text;
}

void TLClipboardSync::checkPasteboardForDeletedClippings() {
    auto general = environment_.pasteboardManager->generalPasteboard();
    auto suite = TLSettings();
    if (!general || general->changeCount() != suite->integerForKey(TLUserDefaultsPasteboardChangeCount)) return;
    for (const std::string& clippingID : suite->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs).value_or(std::vector<std::string>{})) {
        store::FetchRequest request(Clipping::kEntityName);
        auto predicate = store::Predicate::withFormat("clippingID == %@", clippingID);
        if (!predicate) continue;
        request.predicate = predicate.value();
        auto count = environment_.managedObjectContext->count(request);
        // A count that failed says nothing about the clipping.
        if (!count || count.value() != 0) continue;
        TLLogInfo(TLLogContextSync, "Pasteboard clipping has been deleted. Clear clipboard.");
        general->copyPasteboardItems({});
        if (auto center = notificationCenter()) center->removeAllDelivered();
        suite->setInteger(general->changeCount(), TLUserDefaultsPasteboardChangeCount);
        suite->setObject(foundation::PlistValue(std::vector<std::string>{}), TLUserDefaultsPasteboardClippingIDs);
        suite->synchronize();
        return;
    }
}
