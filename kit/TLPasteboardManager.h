#pragma once
// The one object that watches the general pasteboard. On every tick of the
// application's 0.25 s timer it looks whether the clipboard changed; if it did,
// it decides from the capture switch and the per-application rules whether the
// new content is saved and into which list, and saves it as a clipping with
// its asset files, or refreshes the equal clipping it already has.
//
// Main queue only, like the store's main context it edits. A capture judges a
// snapshot of the pasteboard taken at the moment it decides; its asset files
// are written from that snapshot on a queue of the manager's own, one capture
// after another, and the clipping is inserted and saved back on the main queue.
// The change count it records as saved is the snapshot's, so a copy made while
// the files are written is new content for the next tick.
//
// Made in a shared_ptr (work it hands to other queues holds it weakly).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSTimerBlocks.h"
#include "kit/TLAssetWriter.h"
#include "kit/TLLinkFetcher.h"
#include "kit/TLPasteboard.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"
#include "platform/store/Context.h"

class TLPasteboardManager : public std::enable_shared_from_this<TLPasteboardManager> {
public:
    // Runs once per save with the new clipping, or null when nothing new was
    // saved (a refusal, a duplicate refreshed, nothing usable).
    using Completion = std::function<void(std::shared_ptr<Clipping>)>;

    struct Configuration {
        std::shared_ptr<TLPasteboard> generalPasteboard;
        std::shared_ptr<store::Context> managedObjectContext;  // the store's main context
        std::shared_ptr<desktop::FrontApplication> frontApplication;
        // Reads the general pasteboard off the main thread (the X11 clipboard);
        // without one it is read on the main thread.
        std::shared_ptr<desktop::ClipboardReader> clipboardReader;
        // Where asset files are written (a serial queue keeps captures in order).
        std::shared_ptr<dispatch::Queue> writerQueue;
        // Saves the main context; tests put a failing save in its place.
        std::function<foundation::Result<void>(store::Context&)> saveContext;
        // Reads page titles and images of captured links. Without one no link is
        // fetched: sharedManager() gives it one, a manager made for a test only
        // when the test serves the pages itself.
        std::shared_ptr<const TLLinkFetcher> linkFetcher;
    };

    // Front applications that copy in a way the clipboard sees late: the
    // capture waits for them before it reads.
    static constexpr const char* kDelayedFrontApplication = "com.apple.iBooksX";
    static constexpr double kDelayedFrontApplicationSeconds = 0.25;
    static constexpr const char* kDelayingRunningApplication = "com.pilotmoon.popclip";
    static constexpr double kDelayingRunningApplicationSeconds = 0.5;

    // The one instance, over the clipboard, the store's main context and the
    // desktop's front application; made on first use.
    static std::shared_ptr<TLPasteboardManager> sharedManager();

    // Observes the history limit and the tick, takes the capture switch from
    // the settings, records the general pasteboard's change count (what is on
    // it now is not captured) and trims the history once.
    explicit TLPasteboardManager(Configuration configuration);
    ~TLPasteboardManager();
    TLPasteboardManager(const TLPasteboardManager&) = delete;
    TLPasteboardManager& operator=(const TLPasteboardManager&) = delete;

    bool clipboardCapture() const { return clipboardCapture_; }
    void setClipboardCapture(bool on) { clipboardCapture_ = on; }
    int64_t pasteboardChangeCount() const { return pasteboardChangeCount_; }
    void setPasteboardChangeCount(int64_t count) { pasteboardChangeCount_ = count; }
    // Pasteboard types never written as asset files.
    const std::vector<std::string>& excludedPasteboardTypes() const { return excludedPasteboardTypes_; }
    void setExcludedPasteboardTypes(std::vector<std::string> types) { excludedPasteboardTypes_ = std::move(types); }
    bool resynchronizing() const { return resynchronizing_; }
    void setResynchronizing(bool on) { resynchronizing_ = on; }

    // The tick's handler: looks at the general pasteboard and captures a change.
    void checkPasteboard();
    void pause() { clipboardCapture_ = false; }
    void resume() { clipboardCapture_ = true; }
    bool isPaused() const { return !clipboardCapture_; }
    // The application of the active window, if any.
    std::optional<desktop::AppIdentity> activeApplication();
    // The clippings on the general pasteboard now: those this program last
    // wrote or captured, while the pasteboard still holds that content.
    std::optional<std::vector<std::string>> pasteboardClippingIDs();

    void saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard);
    void saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard, const std::shared_ptr<List>& list);
    void saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard, const std::shared_ptr<List>& list,
                                  bool saveConcealedTypes);
    void saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard, Completion completion);
    void saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard, const std::shared_ptr<List>& list,
                                  Completion completion);
    // Saves what the pasteboard holds now as a new clipping in list (none: the
    // main history), refreshes an equal one instead, or refuses; concealed and
    // transient content is refused unless saveConcealedTypes (the user's
    // explicit save keeps it).
    void saveContentsOfPasteboard(const std::shared_ptr<TLPasteboard>& pasteboard, const std::shared_ptr<List>& list,
                                  bool saveConcealedTypes, Completion completion);

    // The average colour of an image file as 0x00RRGGBB; 0 for no image.
    static uint32_t colorHexForImageAtPath(const std::string& path);

    // Trims the history to the limit the user chose.
    void trimClipboardHistory();

    // Follow-ups of a new clipping (TLPasteboardManagerFollowUps.cpp). With
    // sync on they wait, checking every 0.25 s, until the sync engine stored
    // the clipping's record; a deleted clipping ends the wait, and sync
    // switched off runs the follow-up at once.
    void checkIfRecordIsSaved(const std::shared_ptr<NSTimerBlocks::Timer>& timer, const std::shared_ptr<Clipping>& clipping,
                              bool hasImage, const std::optional<foundation::Data>& recordSystemFields);
    // The image the clipping's http(s) link serves becomes its item 0.
    void downloadRemoteClippingImage(const std::shared_ptr<Clipping>& clipping);
    // The title of the clipping's web page becomes its urlName (empty when the
    // page has none or repeats the link). The completion runs on the main queue
    // once the title is stored, not when the fetch stops early.
    void fetchPageTitleForClipping(const std::shared_ptr<Clipping>& clipping);
    void fetchPageTitleForClipping(const std::shared_ptr<Clipping>& clipping, std::function<void()> completion);

    // Copy-back (TLPasteboardManagerCopyBack.cpp): puts the clippings on the
    // pasteboard, one through the template if given, several as their joined
    // text and their images. A write to the general pasteboard is recorded as
    // this program's own and announced; unless remote, the clippings move to
    // the top of the history. The clipboard is written once the stored
    // clippings' files were read on the writer queue (a filled template at
    // once); a drag's pasteboard at once.
    void copyClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                       const std::optional<std::string>& withTemplate, const std::shared_ptr<TLPasteboard>& toPasteboard,
                       bool remotely);
    void copyClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                       const std::shared_ptr<TLPasteboard>& toPasteboard, bool remotely);
    void copyClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                       const std::shared_ptr<TLPasteboard>& toPasteboard);
    void copyClippingsToGeneralPasteboard(const std::vector<std::shared_ptr<Clipping>>& clippings);
    void copyClippingToGeneralPasteboard(const std::shared_ptr<Clipping>& clipping);
    // Runs block on the main queue once the clipboard copies asked before it
    // were written (a paste waits for them).
    void afterPendingCopies(std::function<void()> block);
    // The clipboard the manager captures and copies to.
    const std::shared_ptr<TLPasteboard>& generalPasteboard() const { return generalPasteboard_; }
    // Who tells the applications on the desktop (capture's rules, the paste's window).
    const std::shared_ptr<desktop::FrontApplication>& frontApplication() const { return frontApplication_; }
    // The template with each "{text}", "{title}" and "{url}" of its own
    // replaced by the clipping's values; what they bring in is never replaced.
    static std::string stringByFillingTemplate(std::string_view format, const Clipping& clipping);

    // Deletion (TLPasteboardManagerHistory.cpp): the clipping with its asset
    // folder, saved at once; the folder alone (of a clipping another device
    // deleted); a list with its clippings' folders. Folders go only once the
    // save succeeded; a failed save is logged and leaves them.
    void deleteClipping(const std::shared_ptr<Clipping>& clipping);
    static void deleteAssetsForClippingWithID(const std::string& clippingID);
    void deleteList(const std::shared_ptr<List>& list);
    // Deletes the clippings and, when given, the list in one save of their
    // context, then their folders. A failed save is logged and takes the
    // deletions back (with what the delete rules changed), so every clipping,
    // its folder and the list stay as stored. True when the save succeeded;
    // else failure, when given, gets the save's error.
    bool deleteClippings(const std::vector<std::shared_ptr<Clipping>>& clippings,
                         const std::shared_ptr<List>& list = nullptr, foundation::Error* failure = nullptr);

private:
    struct Capture;
    struct Snapshot;
    struct RuleDecision {
        bool save = true;
        std::shared_ptr<List> list;
        std::string frontBundleIdentifier;
    };

    // A copy-back whose items are being made.
    struct CopyBack {
        std::vector<std::shared_ptr<Clipping>> clippings;
        std::optional<std::string> usedTemplate;
        std::shared_ptr<TLPasteboard> toPasteboard;
        bool remotely = false;
    };

    RuleDecision decide();
    std::shared_ptr<List> listWithID(const std::string& listID);
    // Calls then with the pasteboard's content: at once, or for the general
    // pasteboard with a reader, after a read off the main thread; with null
    // when the content changed hands during that read.
    void snapshotThen(const std::shared_ptr<TLPasteboard>& pasteboard, std::function<void(std::shared_ptr<Snapshot>)> then);
    // Reads the pasteboard, again (up to attempts times) while it changes
    // during the read, and saves what it read.
    void saveWhenRead(const std::shared_ptr<TLPasteboard>& pasteboard, bool fromGeneral, const std::shared_ptr<List>& list,
                      bool saveConcealedTypes, Completion completion, int attempts);
    // The tick's capture of the general pasteboard's snapshot, as the rules decided.
    void captureSnapshot(std::shared_ptr<Snapshot> snapshot, const RuleDecision& decision);
    // Judges a snapshot and saves it; fromGeneral says the snapshot is of the
    // general pasteboard, whose count it then records.
    void saveSnapshot(std::shared_ptr<Snapshot> snapshot, bool fromGeneral, std::shared_ptr<List> list,
                      bool saveConcealedTypes, Completion completion);
    bool saveImageFiles(const std::shared_ptr<Capture>& capture);
    bool saveFileName(const std::shared_ptr<Capture>& capture);
    bool refusedForMarkers(const std::shared_ptr<Capture>& capture);
    // The capture of one pasteboard item, in steps: the item chosen, the
    // link rules and the duplicate check, then its files written.
    void saveItem(const std::shared_ptr<Capture>& capture);
    static std::optional<size_t> chooseItem(const Snapshot& snapshot);
    // An item with nothing but a web archive keeps the archive's images.
    void saveWebArchiveImages(const std::shared_ptr<Capture>& capture, const TLPasteboardItem& item);
    void writeItemAssets(const std::shared_ptr<Capture>& capture, size_t chosen,
                         const std::optional<std::string>& imageType, const std::string& itemURL);
    bool refreshDuplicate(const std::shared_ptr<Capture>& capture, const std::shared_ptr<const std::string>& text,
                          const std::optional<std::string>& url);
    // Writes on the writer queue, then continues on the main queue; a capture
    // that writes no file runs both at once when no other capture is writing.
    void writeThen(const std::shared_ptr<Capture>& capture, std::function<TLAssetWriter::Written(TLAssetWriter&)> write,
                   std::function<void(TLAssetWriter::Written)> then, bool writesFiles = true);
    std::shared_ptr<Clipping> insertClipping(const Capture& capture);
    void place(Clipping& clipping, const std::shared_ptr<List>& list);
    void insertAssets(Clipping& clipping, const std::vector<std::string>& files, bool everyFile);
    // The end of every capture that makes a clipping: inserts it with its
    // assets (every file written, or only the kinds that get an asset record),
    // saves, trims the history after a save that succeeded, then runs the
    // follow-ups (which complete) or completes.
    void finishCapture(const std::shared_ptr<Capture>& capture, bool everyFile, bool followsUp);
    // Saves the main context and records the capture (or logs the failure);
    // true when the save succeeded.
    bool saveAndFinish(const Capture& capture, Clipping& clipping);
    // What follows the save of a clipping made from a pasteboard item.
    void followUpNewClipping(const std::shared_ptr<Clipping>& clipping, bool hasImage, bool fromGeneral,
                             const Completion& completion);
    // The image download or title fetch the clipping is due now, if any.
    void runDueFollowUp(const std::shared_ptr<Clipping>& clipping, bool hasImage);
    // Saves the context a clipping lives in: the main context as configured.
    foundation::Result<void> saveClippingContext(store::Context& context);
    // Records the image file a download wrote as the clipping's item 0.
    void recordDownloadedImage(const std::shared_ptr<Clipping>& clipping, const std::string& name, const std::string& type);
    // Writes a copy-back's items and records and announces the write.
    void finishCopy(const CopyBack& copy, std::vector<std::shared_ptr<TLPasteboardItem>> items);
    // Removes stored clippings that share one identifier, on the main
    // context's parent queue.
    void removeDuplicateClippings();
    void recordPasteboard(const Capture& capture, const std::string& clippingID);

    std::shared_ptr<TLPasteboard> generalPasteboard_;
    std::shared_ptr<store::Context> context_;
    std::shared_ptr<desktop::FrontApplication> frontApplication_;
    std::shared_ptr<dispatch::Queue> writerQueue_;
    std::shared_ptr<desktop::ClipboardReader> clipboardReader_;
    std::shared_ptr<dispatch::Queue> readQueue_ = dispatch::Queue::createSerial("com.tavlo.capture.read");
    std::function<foundation::Result<void>(store::Context&)> saveContext_;
    std::vector<foundation::ObserverRegistration> observers_;
    std::shared_ptr<const TLLinkFetcher> linkFetcher_;

    bool clipboardCapture_ = true;
    int64_t pasteboardChangeCount_ = 0;
    std::vector<std::string> excludedPasteboardTypes_;
    bool resynchronizing_ = false;
    bool reading_ = false;     // a read of the general pasteboard is under way
    // A change whose reads ran out of time with nothing usable, and how often it was read again.
    int64_t retriedChangeCount_ = 0;
    int retries_ = 0;
    int capturesWriting_ = 0;  // captures whose files are being written
};
