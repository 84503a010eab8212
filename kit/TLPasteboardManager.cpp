#include "kit/TLPasteboardManager.h"

#include <algorithm>
#include <cassert>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "kit/Asset.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLImageUtilities.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TLWebArchive.h"
#include "logging/TLLog.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/foundation/ThreadIdentity.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UserDefaults.h"

namespace {

namespace fs = std::filesystem;
using foundation::TypeIdentifier;

// The platform name every clipping made here carries (the sync records of
// other devices compare it).
constexpr const char* kDeviceName = "OSX";
// A pasteboard with more image files than this is not taken as images.
constexpr size_t kMaxImageFiles = 10;
// Texts this long (in UTF-16 units, as the history's other devices count) are
// never compared for duplicates: the lookup would cost more than a repeat.
constexpr size_t kDuplicateTextLength = 5000;
// Only texts shorter than this are looked at as a possible link.
constexpr size_t kLinkTextLength = 2000;
// How many of TLPasteboard::markerTypes() mark transient content; the next
// one marks concealed content.
constexpr size_t kTransientMarkerCount = 6;
constexpr size_t kConcealedMarker = 6;
// How often a save reads a clipboard that keeps changing during the read.
constexpr int kReadAttempts = 3;
// A change a slow owner left nothing usable of is read again at this many later ticks.
constexpr int kMaxReadRetries = 3;

const char* const kImageFileTypes[] = {foundation::kUTTypeJPEG, foundation::kUTTypeTIFF, foundation::kUTTypeGIF,
                                       foundation::kUTTypePNG, foundation::kUTTypeBMP};
const char* const kAttributeTypes[] = {foundation::kUTTypeText, foundation::kUTTypePlainText,
                                       foundation::kUTTypeUTF8PlainText, foundation::kUTTypeURL};


// Whether the text is shorter than limit in UTF-16 units (as the history's
// other devices count); it reads no further than the limit, so a text of tens
// of megabytes costs no more than a short one.
bool utf16Shorter(const std::string& text, size_t limit) {
    if (text.size() < limit) return true;  // never more units than bytes
    size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++n;
        if (c >= 0xF0) ++n;  // outside the basic plane: a surrogate pair
        if (n >= limit) return false;
    }
    return true;
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\n\r\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool containsType(const std::vector<std::string>& types, std::string_view type) {
    return std::any_of(types.begin(), types.end(), [&](const std::string& t) { return TypeIdentifier::equal(t, type); });
}

// An asset gets a record of its own (and is synced as a file) for the kinds
// the other devices show: images, web archives and rich text.
bool takesAsset(const std::string& fileName) {
    auto parsed = NSFileManagerExtras::parseAssetFileName(fileName);
    if (!parsed) return false;
    const std::string& type = parsed->second;
    return TypeIdentifier::conformsTo(type, foundation::kUTTypeImage) ||
           TypeIdentifier::equal(type, foundation::kUTTypeWebArchive) ||
           TypeIdentifier::equal(type, foundation::kUTTypeRTF);
}

}  // namespace

// A pasteboard's content at one moment, with the count it had then. Its items
// are read once and shared by the decision and the asset writer, never copied
// again: a 20 MB image is one 20 MB image however often it is looked at.
struct TLPasteboardManager::Snapshot {
    int64_t changeCount = 0;
    std::vector<std::shared_ptr<TLPasteboardItem>> items;
    std::vector<std::string> types;  // of all items, each once, in order
    bool incompleteForTime = false;  // the owner was slow with some of its content

    Snapshot(int64_t count, std::vector<desktop::PasteboardItem> plain) : changeCount(count) {
        for (auto& item : plain) {
            for (const auto& r : item.representations())
                if (!containsType(types, r.type)) types.push_back(r.type);
            items.push_back(std::make_shared<TLPasteboardItem>(std::make_shared<desktop::PasteboardItem>(std::move(item))));
        }
    }
    // What a pasteboard answers for the type: the first item's that has it.
    const foundation::Data* data(std::string_view type) const {
        for (const auto& item : items)
            if (const foundation::Data* d = item->pasteboardItem()->data(type)) return d;
        return nullptr;
    }
    std::optional<std::string> string(std::string_view type) const {
        const foundation::Data* d = data(type);
        return d ? std::optional<std::string>(d->toString()) : std::nullopt;
    }
    // Whether this program wrote or captured the content (see
    // TLMacPasteboard::isSaved). The stored count is the general pasteboard's:
    // another pasteboard's count says nothing about it.
    bool isSaved(bool fromGeneral) const {
        return data(TLPasteboard::kClippingMetadataType) ||
               (fromGeneral && TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount) == changeCount);
    }
};

// One save in progress: what was judged and where it goes.
struct TLPasteboardManager::Capture {
    std::shared_ptr<Snapshot> snapshot;
    bool fromGeneral = false;
    std::shared_ptr<List> list;
    bool saveConcealedTypes = false;
    Completion completion;

    std::string clippingID;
    // A clipping made from a pasteboard item; the text is the pasteboard
    // item's own bytes, shared with the clipping and the store, never copied.
    std::shared_ptr<const std::string> text;
    std::optional<std::string> url, urlName;
    bool hasImage = false;
    // Only a clipping made from a pasteboard item carries the device's name.
    bool namesDevice = false;
    TLAssetWriter::Written written;

    void complete(const std::shared_ptr<Clipping>& clipping) const {
        if (completion) completion(clipping);
    }
};

std::shared_ptr<TLPasteboardManager> TLPasteboardManager::sharedManager() {
    static std::once_flag once;
    static std::shared_ptr<TLPasteboardManager> shared;
    std::call_once(once, [] {
        Configuration configuration;
        configuration.generalPasteboard = TLMacPasteboard::generalPasteboard();
        configuration.managedObjectContext = TLDatabaseManager::sharedManager()->managedObjectContext();
        configuration.frontApplication = desktop::FrontApplication::create();
        // On X11 the clipboard is read off the main thread.
        configuration.clipboardReader = TLMacPasteboard::generalClipboardReader();
        configuration.linkFetcher = std::make_shared<TLLinkFetcher>();
        shared = std::make_shared<TLPasteboardManager>(std::move(configuration));
    });
    return shared;
}

TLPasteboardManager::TLPasteboardManager(Configuration configuration)
    : generalPasteboard_(std::move(configuration.generalPasteboard)),
      context_(std::move(configuration.managedObjectContext)),
      frontApplication_(std::move(configuration.frontApplication)),
      writerQueue_(std::move(configuration.writerQueue)),
      saveContext_(std::move(configuration.saveContext)),
      linkFetcher_(std::move(configuration.linkFetcher)) {
    if (!writerQueue_) writerQueue_ = dispatch::Queue::createSerial("com.tavlo.capture.assets");
    clipboardReader_ = std::move(configuration.clipboardReader);
    if (!saveContext_) saveContext_ = [](store::Context& context) { return context.save(); };
    if (!frontApplication_) frontApplication_ = desktop::FrontApplication::create();
    auto& center = foundation::NotificationCenter::defaultCenter();
    observers_.emplace_back(center, center.addObserver(TLUserDefaultsClipboardSize, nullptr,
                                                       [this](const foundation::Notification&) { trimClipboardHistory(); }));
    clipboardCapture_ = TLSettings()->boolForKey(TLUserDefaultsCaptureClipboard);
    observers_.emplace_back(center, center.addObserver(TLTimerTickNotification, nullptr,
                                                       [this](const foundation::Notification&) { checkPasteboard(); }));
    pasteboardChangeCount_ = generalPasteboard_ ? generalPasteboard_->changeCount() : 0;
    excludedPasteboardTypes_ = {"com.apple.mobileslideshow.asset.localidentifier",
                                "iOS rich content paste pasteboard type"};
    trimClipboardHistory();
}

TLPasteboardManager::~TLPasteboardManager() = default;

// MARK: Watch and rules

void TLPasteboardManager::checkPasteboard() {
    assert(foundation::isMainThread());  // main queue only, like the main context
    // A read of an earlier change is under way; its end decides about this one.
    if (!generalPasteboard_ || reading_) return;
    const int64_t count = generalPasteboard_->changeCount();
    if (count == pasteboardChangeCount_) return;
    const bool wasOn = clipboardCapture_;
    pause();
    if (wasOn) {
        RuleDecision decision = decide();
        // Content this program wrote or captured last is not read again.
        bool recorded = TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount) == count;
        if (decision.save && !recorded) {
            if (clipboardReader_) {
                // Read off the main thread; the count moves on once the read
                // is known to hold this change's content.
                reading_ = true;
                std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
                snapshotThen(generalPasteboard_, [weak, count, decision](std::shared_ptr<Snapshot> snapshot) {
                    auto self = weak.lock();
                    if (!self) return;
                    self->reading_ = false;
                    if (!snapshot || snapshot->changeCount != count) return;  // read again at the next tick
                    if (snapshot->incompleteForTime && snapshot->items.empty()) {
                        // A slow owner left nothing usable: the copy is still there to be read.
                        if (self->retriedChangeCount_ != count) {
                            self->retriedChangeCount_ = count;
                            self->retries_ = 0;
                        }
                        if (self->retries_++ < kMaxReadRetries) return;
                        TLLogWarning(TLLogContextPasteboard, "Clipboard content not captured: its owner did not answer in time");
                    }
                    self->pasteboardChangeCount_ = count;
                    if (self->clipboardCapture_) self->captureSnapshot(std::move(snapshot), decision);
                });
                resume();
                return;
            }
            snapshotThen(generalPasteboard_, [this, decision](std::shared_ptr<Snapshot> snapshot) {
                captureSnapshot(std::move(snapshot), decision);
            });
        }
    }
    // The count this check looked at: a change made since is new for the next tick.
    pasteboardChangeCount_ = count;
    if (wasOn) resume();
}

void TLPasteboardManager::captureSnapshot(std::shared_ptr<Snapshot> snapshot, const RuleDecision& decision) {
    if (!snapshot) return;
    auto marker = snapshot->string(TLPasteboard::kClippingMetadataType);
    if (marker && !marker->empty()) return;
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    auto later = [weak, list = decision.list](double seconds) {
        dispatch::after(seconds, dispatch::Queue::main(), [weak, list] {
            if (auto self = weak.lock()) self->saveContentsOfPasteboard(self->generalPasteboard_, list);
        });
    };
    if (decision.frontBundleIdentifier == kDelayedFrontApplication) {
        later(kDelayedFrontApplicationSeconds);
    } else if (!frontApplication_->runningApplicationsWithBundleIdentifier(kDelayingRunningApplication).empty()) {
        later(kDelayingRunningApplicationSeconds);
    } else {
        saveSnapshot(std::move(snapshot), true, decision.list, false, nullptr);
    }
}

void TLPasteboardManager::snapshotThen(const std::shared_ptr<TLPasteboard>& pasteboard,
                                       std::function<void(std::shared_ptr<Snapshot>)> then) {
    const bool general = pasteboard && pasteboard == generalPasteboard_;
    if (!general || !clipboardReader_) {
        if (!pasteboard || !pasteboard->pasteboard()) return then(std::make_shared<Snapshot>(0, std::vector<desktop::PasteboardItem>{}));
        auto copy = desktop::MemoryPasteboard::snapshotOf(*pasteboard->pasteboard());
        return then(std::make_shared<Snapshot>(copy->changeCount(), copy->items()));
    }
    const int64_t count = pasteboard->changeCount();
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    readQueue_->async([reader = clipboardReader_, weak, count, then = std::move(then)]() mutable {
        auto content = std::make_shared<desktop::ClipboardReader::Content>(reader->read());
        dispatch::Queue::main()->async([weak, count, content, then = std::move(then)] {
            auto self = weak.lock();
            if (!self) return;
            // Content that changed hands during the read may mix two copies: none of it is taken.
            if (content->changedDuringRead || self->generalPasteboard_->changeCount() != count) return then(nullptr);
            auto snapshot = std::make_shared<Snapshot>(count, std::move(content->items));
            snapshot->incompleteForTime = content->incompleteForTime;
            then(std::move(snapshot));
        });
    });
}

TLPasteboardManager::RuleDecision TLPasteboardManager::decide() {
    auto defaults = TLSettings();
    const int64_t defaultOption = defaults->integerForKey(TLDefaultRuleOption);
    RuleDecision decision;
    decision.save = defaultOption != 1;
    std::string listID;
    auto front = activeApplication();
    if (front) decision.frontBundleIdentifier = front->bundleIdentifier;
    const foundation::PlistValue* rule = nullptr;
    auto rules = defaults->arrayForKey(TLApplicationRules);
    if (front && !front->bundleIdentifier.empty() && rules) {
        // The last rule for the application wins.
        for (const auto& candidate : *rules) {
            auto* id = candidate.get(TLAppRuleBundleIdentifier);
            if (id && id->asString() && *id->asString() == front->bundleIdentifier) rule = &candidate;
        }
    }
    if (rule) {
        auto* option = rule->get(TLAppRuleOption);
        switch (option ? option->integerValue() : 0) {
            case 1: decision.save = false; break;
            case 0: decision.save = true; break;
            case 2:
                decision.save = true;
                if (auto* id = rule->get(TLAppRuleListID)) listID = id->stringValue().value_or("");
                break;
            default: break;
        }
    } else if (defaultOption == 2) {
        listID = defaults->stringForKey(TLDefaultListID).value_or("");
    }
    if (listID.empty()) listID = defaults->stringForKey(TLUserDefaultsSelectedListID).value_or("");
    if (!listID.empty()) decision.list = listWithID(listID);
    return decision;
}

std::shared_ptr<List> TLPasteboardManager::listWithID(const std::string& listID) {
    if (!context_) return nullptr;
    store::FetchRequest request(List::kEntityName);
    auto predicate = store::Predicate::withFormat("listID == %@", listID);
    if (!predicate) return nullptr;
    request.predicate = predicate.value();
    request.fetchLimit = 1;
    auto found = context_->fetch(request);
    if (!found || found.value().empty()) return nullptr;
    return std::dynamic_pointer_cast<List>(found.value().front());
}

std::optional<desktop::AppIdentity> TLPasteboardManager::activeApplication() {
    return frontApplication_ ? frontApplication_->activeApplication() : std::nullopt;
}

std::optional<std::vector<std::string>> TLPasteboardManager::pasteboardClippingIDs() {
    auto defaults = TLSettings();
    if (!generalPasteboard_ ||
        defaults->integerForKey(TLUserDefaultsPasteboardChangeCount) != generalPasteboard_->changeCount())
        return std::nullopt;
    return defaults->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs);
}

// MARK: Saving

void TLPasteboardManager::saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard) {
    saveContentsOfPasteboard(pasteboard, nullptr, false, Completion());
}

void TLPasteboardManager::saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard,
                                                   const std::shared_ptr<List>& list) {
    saveContentsOfPasteboard(pasteboard, list, false, Completion());
}

void TLPasteboardManager::saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard,
                                                   const std::shared_ptr<List>& list, bool saveConcealedTypes) {
    saveContentsOfPasteboard(pasteboard, list, saveConcealedTypes, Completion());
}

void TLPasteboardManager::saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard,
                                                   Completion completion) {
    saveContentsOfPasteboard(pasteboard, nullptr, false, std::move(completion));
}

void TLPasteboardManager::saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard,
                                                   const std::shared_ptr<List>& list, Completion completion) {
    saveContentsOfPasteboard(pasteboard, list, false, std::move(completion));
}

void TLPasteboardManager::saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard,
                                                   const std::shared_ptr<List>& list, bool saveConcealedTypes,
                                                   Completion completion) {
    assert(foundation::isMainThread());  // main queue only, like the main context
    bool fromGeneral = pasteboard && generalPasteboard_ &&
                       (pasteboard == generalPasteboard_ || pasteboard->pasteboard() == generalPasteboard_->pasteboard());
    saveWhenRead(pasteboard, fromGeneral, list, saveConcealedTypes, std::move(completion), kReadAttempts);
}

void TLPasteboardManager::saveWhenRead(const std::shared_ptr<TLPasteboard>& pasteboard, bool fromGeneral,
                                       const std::shared_ptr<List>& list, bool saveConcealedTypes,
                                       Completion completion, int attempts) {
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    auto save = [weak, pasteboard, fromGeneral, list, saveConcealedTypes, attempts,
                 completion = std::move(completion)](std::shared_ptr<Snapshot> snapshot) mutable {
        auto self = weak.lock();
        if (!self) return;
        if (!snapshot) {
            // The clipboard changed while it was read: what it holds now is what the caller means.
            if (attempts > 1)
                return self->saveWhenRead(pasteboard, fromGeneral, list, saveConcealedTypes, std::move(completion),
                                          attempts - 1);
            if (completion) completion(nullptr);
            return;
        }
        self->saveSnapshot(std::move(snapshot), fromGeneral, list, saveConcealedTypes, std::move(completion));
    };
    snapshotThen(pasteboard, std::move(save));
}

void TLPasteboardManager::saveSnapshot(std::shared_ptr<Snapshot> snapshot, bool fromGeneral,
                                       std::shared_ptr<List> list, bool saveConcealedTypes, Completion completion) {
    auto capture = std::make_shared<Capture>();
    capture->snapshot = std::move(snapshot);
    capture->fromGeneral = fromGeneral;
    capture->list = std::move(list);
    capture->saveConcealedTypes = saveConcealedTypes;
    capture->completion = std::move(completion);
    if (capture->snapshot->isSaved(fromGeneral)) return capture->complete(nullptr);
    if (capture->snapshot->types.empty()) {
        TLLogInfo(TLLogContextPasteboard, "Pasteboard contains no data types. Skipping");
        return capture->complete(nullptr);
    }
    if (saveImageFiles(capture) || saveFileName(capture) || refusedForMarkers(capture)) return;
    saveItem(capture);
}

bool TLPasteboardManager::saveImageFiles(const std::shared_ptr<Capture>& capture) {
    std::vector<TLAssetWriter::ImageFile> files;
    for (const auto& item : capture->snapshot->items) {
        auto text = item->stringForType(foundation::kUTTypeFileURL);
        auto url = text ? foundation::URL::parse(*text) : std::nullopt;
        if (!url || !url->isFileURL()) continue;
        std::string type = TypeIdentifier::typeForFilenameExtension(url->pathExtension());
        if (type.empty()) continue;
        for (const char* imageType : kImageFileTypes) {
            if (TypeIdentifier::conformsTo(type, imageType)) {
                files.push_back({*url, type});
                break;
            }
        }
    }
    if (files.empty() || files.size() > kMaxImageFiles) return false;
    capture->clippingID = Clipping::makeClippingID();
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    writeThen(capture, [files](TLAssetWriter& writer) { return writer.copyImageFiles(files); },
              [weak, capture](TLAssetWriter::Written written) {
                  auto self = weak.lock();
                  if (!self) return;
                  // Not one file could be taken: nothing to keep, no clipping.
                  if (!written.imageType || written.files.empty()) return capture->complete(nullptr);
                  capture->written = std::move(written);
                  self->finishCapture(capture, true, false);
              });
    return true;
}

bool TLPasteboardManager::saveFileName(const std::shared_ptr<Capture>& capture) {
    if (!containsType(capture->snapshot->types, foundation::kUTTypeFileURL)) return false;
    std::string name;
    if (auto text = capture->snapshot->string(foundation::kUTTypeFileURL)) {
        if (auto url = foundation::URL::parse(*text); url && url->isFileURL() && !url->path().empty() && url->path() != "/")
            name = url->lastPathComponent();
    }
    if (name.empty()) {
        capture->complete(nullptr);
        return true;
    }
    capture->clippingID = Clipping::makeClippingID();
    capture->text = std::make_shared<const std::string>(std::move(name));
    capture->written.items = 1;
    finishCapture(capture, false, false);
    return true;
}

bool TLPasteboardManager::refusedForMarkers(const std::shared_ptr<Capture>& capture) {
    if (capture->saveConcealedTypes) return false;
    const auto& types = capture->snapshot->types;
    const auto& markers = TLPasteboard::markerTypes();
    for (size_t i = 0; i < kTransientMarkerCount; ++i) {
        if (containsType(types, markers[i])) {
            TLLogInfo(TLLogContextPasteboard, "Pasteboard contains transient data types. Skipping.");
            capture->complete(nullptr);
            return true;
        }
    }
    if (containsType(types, markers[kConcealedMarker])) {
        TLLogInfo(TLLogContextPasteboard, "Pasteboard contains concealed data types. Skipping.");
        capture->complete(nullptr);
        return true;
    }
    return false;
}

void TLPasteboardManager::saveItem(const std::shared_ptr<Capture>& capture) {
    auto chosen = chooseItem(*capture->snapshot);
    if (!chosen) {
        TLLogWarning(TLLogContextPasteboard, "Pasteboard does not contain any supported data types");
        return capture->complete(nullptr);
    }
    const TLPasteboardItem& item = *capture->snapshot->items[*chosen];
    TLLogDebug(TLLogContextPasteboard, "Pasteboard data types: %@", item.types());
    auto text = item.sharedText();
    auto url = item.url();
    auto imageType = item.imageType();
    if ((!text || text->empty()) && (!url || url->absoluteString().empty()) && !imageType) {
        TLLogWarning(TLLogContextPasteboard, "Pasteboard has supported types but there is no data in them");
        return saveWebArchiveImages(capture, item);
    }
    // Links are kept only for the web; a text that merely repeats another kind of link goes with it.
    if (url && !TLLinkFetcher::isFetchableURL(url->absoluteString())) {
        if (text && *text == url->absoluteString()) text.reset();
        url.reset();
    }
    std::optional<std::string> urlString = url ? std::optional<std::string>(url->absoluteString()) : std::nullopt;
    if (refreshDuplicate(capture, text, urlString)) return;

    TLLogInfo(TLLogContextPasteboard, "Pasteboard contains unsaved data with supported data types. Adding to Tavlo.");
    capture->clippingID = Clipping::makeClippingID();
    capture->text = std::move(text);
    capture->url = urlString;
    capture->hasImage = imageType.has_value();
    capture->namesDevice = true;
    if (auto name = item.urlName()) {
        std::string clean = trimmed(*name);
        if (!clean.empty()) capture->urlName = clean;
    }
    std::string itemURL = url ? url->absoluteString() : item.url() ? item.url()->absoluteString() : std::string();
    writeItemAssets(capture, *chosen, imageType, itemURL);
}

std::optional<size_t> TLPasteboardManager::chooseItem(const Snapshot& snapshot) {
    // The first item with a supported type that is no file.
    const auto supported = TLMacPasteboard().supportedTypes();
    for (size_t i = 0; i < snapshot.items.size(); ++i) {
        const auto& item = *snapshot.items[i];
        if (item.hasTypes(supported) && !containsType(item.types(), foundation::kUTTypeFileURL)) return i;
    }
    return std::nullopt;
}

void TLPasteboardManager::saveWebArchiveImages(const std::shared_ptr<Capture>& capture, const TLPasteboardItem& item) {
    const foundation::Data* archive = item.pasteboardItem()->data(TLWebArchive::kPasteboardType);
    if (!archive) return capture->complete(nullptr);
    capture->clippingID = Clipping::makeClippingID();
    capture->namesDevice = true;
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    // The snapshot the archive lives in goes along with it.
    writeThen(capture,
              [archive, snapshot = capture->snapshot](TLAssetWriter& writer) {
                  return writer.writeWebArchiveImages(*archive);
              },
              [weak, capture](TLAssetWriter::Written written) {
                  auto self = weak.lock();
                  if (!self) return;
                  if (written.files.empty()) return capture->complete(nullptr);
                  capture->written = std::move(written);
                  capture->url = capture->written.url;
                  self->finishCapture(capture, false, false);
              });
}

void TLPasteboardManager::writeItemAssets(const std::shared_ptr<Capture>& capture, size_t chosen,
                                          const std::optional<std::string>& imageType, const std::string& itemURL) {
    const auto& items = capture->snapshot->items;
    // Every type but the text and link attributes (kept in the clipping) becomes a file.
    std::vector<std::string> types;
    for (const auto& type : items[chosen]->types()) {
        bool attribute = std::any_of(std::begin(kAttributeTypes), std::end(kAttributeTypes),
                                     [&](const char* a) { return TypeIdentifier::equal(type, a); });
        if (!attribute) types.push_back(type);
    }
    // A plain text leaves nothing to write: it is inserted at once unless an
    // earlier capture is still writing (clippings are dated in copying order).
    bool writesFiles = std::any_of(types.begin(), types.end(), [this](const std::string& type) {
        return !containsType(excludedPasteboardTypes_, type);
    });
    const auto supported = TLMacPasteboard().supportedTypes();
    for (size_t k = chosen + 1; k < items.size() && !writesFiles; ++k) writesFiles = items[k]->hasTypes(supported);
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    auto snapshot = capture->snapshot;
    writeThen(
        capture,
        [snapshot, chosen, types, imageType, itemURL](TLAssetWriter& writer) {
            return writer.writeItems(snapshot->items, chosen, types, imageType, itemURL);
        },
        [weak, capture](TLAssetWriter::Written written) {
            auto self = weak.lock();
            if (!self) return;
            capture->written = std::move(written);
            auto& text = capture->text;
            auto& url = capture->url;
            // A text that reads as a web address is a link.
            if (text && !url && utf16Shorter(*text, kLinkTextLength) && foundation::URL::isWebAddress(*text)) {
                url = *text;
                text.reset();
            } else if (text && url && *text == *url) {
                text.reset();
            }
            self->finishCapture(capture, false, true);
        },
        writesFiles);
}

bool TLPasteboardManager::refreshDuplicate(const std::shared_ptr<Capture>& capture,
                                           const std::shared_ptr<const std::string>& text,
                                           const std::optional<std::string>& url) {
    if (TLSettings()->boolForKey(TLUserDefaultsAllowDupes) || !context_) return false;
    if (!text && !url) return false;
    if (text && !utf16Shorter(*text, kDuplicateTextLength) && !url) return false;
    store::FetchRequest request(Clipping::kEntityName);
    auto predicate = text ? store::Predicate::withFormat("text == %@ OR url == %@", text, url.value_or(*text))
                          : store::Predicate::withFormat("url == %@", *url);
    if (!predicate) return false;
    request.predicate = predicate.value();
    request.sortDescriptors = {{"tavloDate", false}};
    request.fetchLimit = 1;
    auto found = context_->fetch(request);
    if (!found || found.value().empty()) return false;
    auto clipping = std::dynamic_pointer_cast<Clipping>(found.value().front());
    if (!clipping) return false;
    auto now = NSDateCloudKit::currentServerDate();
    clipping->setTavloDate(now);
    clipping->setTavloTemplate(std::nullopt);
    clipping->setSync(true);
    clipping->setModifiedDate(now);
    if (auto saved = saveContext_(*context_); !saved)
        TLLogError(TLLogContextSync, "Error saving new clipping to local store: %@", saved.error().description());
    TLLogInfo(TLLogContextPasteboard, "Duplicate pasteboard item found. Update tavloDate and skip.");
    // The refreshed date is this device's own, or the next push would put
    // this clipping back on the clipboard as if another device had copied it.
    TLSettings()->setObject(now, TLUserDefaultsClipboardSyncTavloDate);
    recordPasteboard(*capture, clipping->clippingID().value_or(""));
    capture->complete(nullptr);
    return true;
}

void TLPasteboardManager::writeThen(const std::shared_ptr<Capture>& capture,
                                    std::function<TLAssetWriter::Written(TLAssetWriter&)> write,
                                    std::function<void(TLAssetWriter::Written)> then, bool writesFiles) {
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(capture->clippingID);
    TLAssetWriter writer(folder ? folder->filePath() : fs::path(), excludedPasteboardTypes_);
    if (!writesFiles && capturesWriting_ == 0) return then(write(writer));
    ++capturesWriting_;
    std::weak_ptr<TLPasteboardManager> weak = weak_from_this();
    writerQueue_->async([weak, writer = std::move(writer), write = std::move(write), then = std::move(then)]() mutable {
        auto written = std::make_shared<TLAssetWriter::Written>(write(writer));
        dispatch::Queue::main()->async([weak, then, written] {
            if (auto self = weak.lock()) --self->capturesWriting_;
            then(std::move(*written));
        });
    });
}

std::shared_ptr<Clipping> TLPasteboardManager::insertClipping(const Capture& capture) {
    if (!context_) return nullptr;
    auto clipping = std::dynamic_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    if (!clipping) return nullptr;
    clipping->setClippingID(capture.clippingID);
    clipping->setAddDate(NSDateCloudKit::currentServerDate());
    clipping->setTavloDate(NSDateCloudKit::currentServerDate());
    clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
    clipping->setSync(true);
    const auto& written = capture.written;
    if (capture.text) clipping->setText(capture.text);
    if (capture.url) clipping->setUrl(capture.url);
    if (written.urlSource) clipping->setUrlSource(written.urlSource);
    if (capture.urlName) clipping->setUrlName(capture.urlName);
    if (written.imageType) {
        clipping->setImage(written.imageType);
        clipping->setColor(int64_t(written.color.value_or(0)));
    }
    if (capture.namesDevice) clipping->setDeviceName(std::string(kDeviceName));
    clipping->setItems(written.items);
    clipping->setTavloStyle(TLSettings()->boolForKey(TLUserDefaultsClipboardSync) ? 1 : 0);
    if (capture.list) place(*clipping, capture.list);
    return clipping;
}

void TLPasteboardManager::place(Clipping& clipping, const std::shared_ptr<List>& list) {
    store::FetchRequest request(Clipping::kEntityName);
    auto predicate = store::Predicate::withFormat("list == %@", list);
    if (!predicate) return;
    request.predicate = predicate.value();
    request.sortDescriptors = {{"index", true}};
    auto members = context_->fetch(request);
    int64_t position = 0;
    if (members) {
        for (const auto& object : members.value()) {
            auto member = std::dynamic_pointer_cast<Clipping>(object);
            if (!member || member.get() == &clipping) continue;
            if (member->index() != position) {
                member->setIndex(position);
                member->setSync(true);
                member->setModifiedDate(NSDateCloudKit::currentServerDate());
            }
            ++position;
        }
    }
    clipping.setList(list);
    clipping.setIndex(position);
}

void TLPasteboardManager::insertAssets(Clipping& clipping, const std::vector<std::string>& files, bool everyFile) {
    auto self = std::dynamic_pointer_cast<Clipping>(clipping.shared_from_this());
    const std::string clippingID = clipping.clippingID().value_or("");
    for (const auto& file : files) {
        if (!everyFile) {
            if (auto url = NSFileManagerExtras::URLForAssetFile(clippingID, file))
                TLLogInfo(TLLogContextPasteboard, "Saved asset at URL: %@", *url);
        }
        if (!everyFile && !takesAsset(file)) continue;
        auto asset = std::dynamic_pointer_cast<Asset>(context_->insertNewObject(Asset::kEntityName));
        if (!asset) continue;
        asset->setAssetID(Asset::makeAssetID(clippingID, file));
        asset->setFilename(file);
        asset->setModifiedDate(clipping.modifiedDate());
        asset->setSync(true);
        asset->setClipping(self);
    }
}

void TLPasteboardManager::finishCapture(const std::shared_ptr<Capture>& capture, bool everyFile, bool followsUp) {
    auto clipping = insertClipping(*capture);
    if (!clipping) return capture->complete(nullptr);
    insertAssets(*clipping, capture->written.files, everyFile);
    // A failed save keeps the clipping in the context for the next save; a
    // trim now would make that save itself, in the middle of this capture.
    if (saveAndFinish(*capture, *clipping)) trimClipboardHistory();
    if (followsUp) return followUpNewClipping(clipping, capture->hasImage, capture->fromGeneral, capture->completion);
    capture->complete(clipping);
}

bool TLPasteboardManager::saveAndFinish(const Capture& capture, Clipping& clipping) {
    auto saved = saveContext_(*context_);
    if (!saved) {
        // The clipping stays in the context: the next save that succeeds writes it.
        TLLogError(TLLogContextSync, "Error saving new clipping to local store: %@", saved.error().description());
        return false;
    }
    TLInterfaceSound::saved();
    auto defaults = TLSettings();
    if (auto date = clipping.tavloDate()) defaults->setObject(*date, TLUserDefaultsClipboardSyncTavloDate);
    recordPasteboard(capture, clipping.clippingID().value_or(""));
    foundation::Notification notification{TLClipboardDidUpdateNotification, nullptr, {}, {}};
    if (auto ids = pasteboardClippingIDs()) notification.value = *ids;
    foundation::NotificationCenter::defaultCenter().post(notification);
    return true;
}

void TLPasteboardManager::recordPasteboard(const Capture& capture, const std::string& clippingID) {
    // The record is of the general pasteboard's content: a save from another
    // pasteboard leaves it alone, so a copy not yet captured is still taken.
    if (!capture.fromGeneral) return;
    auto defaults = TLSettings();
    // The count of the content this capture judged, not the clipboard's now:
    // whatever was copied since is still to be captured.
    defaults->setInteger(capture.snapshot->changeCount, TLUserDefaultsPasteboardChangeCount);
    defaults->setObject(foundation::PlistValue(std::vector<std::string>{clippingID}), TLUserDefaultsPasteboardClippingIDs);
    // This process sees the values at once; the file follows without holding the main thread.
    dispatch::Queue::global()->async([defaults] { defaults->synchronize(); });
}

uint32_t TLPasteboardManager::colorHexForImageAtPath(const std::string& path) {
    return TLImageUtilities::averageColorOfFile(path);
}
