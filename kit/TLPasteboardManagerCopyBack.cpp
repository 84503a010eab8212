// The pasteboard manager's copy-back: clippings put on a pasteboard as they
// were stored, through a template, or several at once, and what a write to the
// general pasteboard records.

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "kit/NSDateCloudKit.h"
#include "kit/TLImageUtilities.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"

namespace {

namespace fs = std::filesystem;
using foundation::kUTTypeFileURL;
using foundation::kUTTypeUTF8PlainText;

// Where a file is offered to applications that take it by its Finder node.
constexpr const char* kFinderNodeType = "com.apple.finder.node";
constexpr const char* kPlainTextTemplate = "{text}";



// The items of one clipping as stored: item 0 and each later item that can be
// rebuilt from the asset files.
std::vector<std::shared_ptr<TLPasteboardItem>> storedItems(const Clipping::Contents& clipping) {
    std::vector<std::shared_ptr<TLPasteboardItem>> items;
    const int64_t count = std::max<int64_t>(clipping.items.value_or(1), 1);
    for (int64_t i = 0; i < count; ++i) {
        auto item = Clipping::pasteboardItemAtIndex(clipping, i);
        if (!item) {
            if (i == 0) return {};  // without its first item the clipping is not written at all
            continue;
        }
        TLLogDebug(TLLogContextPasteboard, "Item at index %@ has types: %@", i, item->types());
        items.push_back(std::move(item));
    }
    return items;
}

// The joined text and the images of several clippings, as items.
std::vector<std::shared_ptr<TLPasteboardItem>> combinedItems(const std::vector<Clipping::Contents>& clippings) {
    std::string text;
    bool any = false;
    for (const auto& clipping : clippings) {
        auto part = TLNonEmpty(clipping.text) ? clipping.text : TLNonEmpty(clipping.url) ? clipping.url : std::nullopt;
        if (!part) continue;
        if (any) text += '\n';
        text += *part;
        any = true;
    }
    std::vector<std::shared_ptr<TLPasteboardItem>> items;
    const fs::path temporary = foundation::Paths::temporaryDirectory();
    bool folderMade = false;
    for (const auto& clipping : clippings) {
        const std::string clippingID = clipping.clippingID.value_or("");
        const int64_t images = Clipping::numberOfImages(clipping);
        for (int64_t i = 0; i < images; ++i) {
            auto file = Clipping::URLForImageAssetAtIndex(clipping, i);
            if (!file) continue;
            auto data = foundation::Data::contentsOfFile(file->filePath());
            if (!data) continue;
            auto type = TLImageUtilities::imageTypeOfData(data.value());
            if (!type) continue;
            // The copy is named after its clipping, so two clippings' images never
            // take each other's place; a failed copy leaves the link pointing nowhere.
            if (!folderMade) folderMade = foundation::Paths::createDirectory(temporary).ok();
            fs::path copy = temporary / foundation::format("%@.%@.%@", i, clippingID, file->pathExtension());
            std::error_code error;
            fs::copy_file(file->filePath(), copy, fs::copy_options::overwrite_existing, error);
            auto link = foundation::URL::fileURL(copy);
            TLPasteboardDictionary values{{*type, std::move(data.value())}, {TLPasteboard::kClippingMetadataType, clippingID}};
            if (items.empty() && !text.empty()) values.emplace_back(kUTTypeUTF8PlainText, text);
            // Files have no separate reference form here: every image offers its
            // file URL.
            values.emplace_back(kUTTypeFileURL, link);
            values.emplace_back(kFinderNodeType, link);
            items.push_back(std::make_shared<TLPasteboardItem>(values));
        }
    }
    if (items.empty() && !text.empty()) {
        items.push_back(std::make_shared<TLPasteboardItem>(TLPasteboardDictionary{
            {kUTTypeUTF8PlainText, text}, {TLPasteboard::kClippingMetadataType, std::string()}}));
    }
    return items;
}

}  // namespace

std::string TLPasteboardManager::stringByFillingTemplate(std::string_view format, const Clipping& clipping) {
    const std::string title = clipping.urlName().value_or("");
    const std::string text = clipping.text().value_or("");
    const std::string url = clipping.url() ? *clipping.url() : clipping.urlSource().value_or("");
    const std::pair<std::string_view, const std::string*> placeholders[] = {
        {"{title}", &title}, {"{text}", &text}, {"{url}", &url}};
    // One pass over the template: a placeholder inside a title or a text that
    // was filled in is that text, never replaced in its turn.
    std::string out;
    out.reserve(format.size() + text.size());
    for (size_t i = 0; i < format.size();) {
        bool replaced = false;
        if (format[i] == '{') {
            for (const auto& [name, value] : placeholders) {
                if (format.substr(i, name.size()) == name) {
                    out += *value;
                    i += name.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += format[i++];
    }
    return out;
}

void TLPasteboardManager::copyClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                                        const std::optional<std::string>& withTemplate,
                                        const std::shared_ptr<TLPasteboard>& toPasteboard, bool remotely) {
    TLLogInfo(TLLogContextPasteboard, "Copy %@ clippings to pasteboard. Template: %@, Remotely: %@",
              int64_t(clippings.size()), withTemplate, int64_t(remotely));
    if (clippings.empty() || !toPasteboard) return;
    for (const auto& clipping : clippings)
        if (!clipping) return;
    CopyBack copy{clippings, withTemplate, toPasteboard, remotely};
    std::vector<Clipping::Contents> contents;
    if (clippings.size() == 1) {
        const Clipping& clipping = *clippings.front();
        if (!copy.usedTemplate && TLNonEmpty(clipping.sharedText()) && TLSettings()->boolForKey(TLUserDefaultsPlainTextMode))
            copy.usedTemplate = std::string(kPlainTextTemplate);
        if (copy.usedTemplate) {
            // A filled template is one text: no file to read.
            std::vector<std::shared_ptr<TLPasteboardItem>> items{std::make_shared<TLPasteboardItem>(
                TLPasteboardDictionary{{kUTTypeUTF8PlainText, stringByFillingTemplate(*copy.usedTemplate, clipping)},
                                       {TLPasteboard::kClippingMetadataType, clipping.clippingID().value_or("")}})};
            return finishCopy(copy, std::move(items));
        }
    }
    for (const auto& clipping : clippings) contents.push_back(clipping->contents());
    auto build = [contents = std::move(contents)] {
        return contents.size() == 1 ? storedItems(contents.front()) : combinedItems(contents);
    };
    // A drag needs its data when it starts; the clipboard's items are made
    // where the asset files are written, so a large image never holds the
    // main thread, and written on the main thread in the order of the copies.
    if (toPasteboard != generalPasteboard_) return finishCopy(copy, build());
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    writerQueue_->async([weak, copy = std::move(copy), build = std::move(build)]() mutable {
        auto items = std::make_shared<std::vector<std::shared_ptr<TLPasteboardItem>>>(build());
        dispatch::Queue::main()->async([weak, copy = std::move(copy), items] {
            if (auto self = weak.lock()) self->finishCopy(copy, std::move(*items));
        });
    });
}

void TLPasteboardManager::finishCopy(const CopyBack& copy, std::vector<std::shared_ptr<TLPasteboardItem>> items) {
    const auto& clippings = copy.clippings;
    std::vector<std::string> clippingIDs;
    for (const auto& clipping : clippings) clippingIDs.push_back(clipping->clippingID().value_or(""));
    // Nothing to write leaves the pasteboard, and what is recorded about it, alone.
    if (items.empty()) return;
    // All items in one write: one change of the pasteboard, one announcement.
    copy.toPasteboard->copyPasteboardItems(items);
    if (copy.toPasteboard != generalPasteboard_) return;
    TLInterfaceSound::tavlo();

    // The count marks this content as the program's own, which capture skips.
    auto defaults = TLSettings();
    defaults->setInteger(generalPasteboard_->changeCount(), TLUserDefaultsPasteboardChangeCount);
    defaults->setObject(foundation::PlistValue(clippingIDs), TLUserDefaultsPasteboardClippingIDs);
    std::optional<std::string> version;
    if (auto bundle = foundation::Bundle::main())
        if (auto* value = bundle->infoDictionary().get("CFBundleVersion")) version = value->stringValue();
    const std::string counter = foundation::format("TavloToClipboard-%@", version);
    defaults->setInteger(defaults->integerForKey(counter) + 1, counter);
    foundation::Notification notification{TLClipboardDidUpdateNotification, nullptr, {}, {}};
    if (auto ids = pasteboardClippingIDs()) notification.value = *ids;
    foundation::NotificationCenter::defaultCenter().post(notification);

    if (!copy.remotely && context_) {
        // The user's copy moves the clippings to the top of the history, in
        // the order they were copied.
        context_->performBlockAndWait([&] {
            const foundation::Date now = NSDateCloudKit::currentServerDate();
            const int64_t style = defaults->boolForKey(TLUserDefaultsClipboardSync) ? 1 : 0;
            for (size_t k = 0; k < clippings.size(); ++k) {
                Clipping& clipping = *clippings[k];
                if (clipping.isDeleted() || !clipping.managedObjectContext()) continue;
                clipping.setTavloDate(now);
                clipping.setTavloStyle(style);
                clipping.setTavloTemplate(copy.usedTemplate);
                clipping.setSync(true);
                clipping.setModifiedDate(NSDateCloudKit::currentServerDate());
                clipping.setPasteboardIndex(int64_t(k));
            }
            defaults->setObject(now, TLUserDefaultsClipboardSyncTavloDate);
            if (!context_->hasChanges()) return;
            if (auto saved = saveContext_(*context_); !saved)
                TLLogError(TLLogContextSync, "Error saving changes to local store: %@", saved.error().description());
        });
    }
    // The settings reach their file once, off the main thread.
    writerQueue_->async([defaults] { defaults->synchronize(); });
}

void TLPasteboardManager::copyClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                                        const std::shared_ptr<TLPasteboard>& toPasteboard, bool remotely) {
    copyClippings(clippings, std::nullopt, toPasteboard, remotely);
}

void TLPasteboardManager::copyClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                                        const std::shared_ptr<TLPasteboard>& toPasteboard) {
    copyClippings(clippings, toPasteboard, false);
}

void TLPasteboardManager::copyClippingsToGeneralPasteboard(const std::vector<std::shared_ptr<Clipping>>& clippings) {
    copyClippings(clippings, generalPasteboard_);
}

void TLPasteboardManager::copyClippingToGeneralPasteboard(const std::shared_ptr<Clipping>& clipping) {
    if (!clipping) return;
    copyClippingsToGeneralPasteboard({clipping});
}

void TLPasteboardManager::afterPendingCopies(std::function<void()> block) {
    // The writer queue runs in order, and each copy it made hands its items to
    // the main queue before this block does.
    writerQueue_->async([block = std::move(block)]() mutable { dispatch::Queue::main()->async(std::move(block)); });
}
