#pragma once
// What a push does: with sync on it fetches the zone's changes, and after a
// fetch that succeeded, with clipboard sync on, puts the newest clipping group
// another device took from its clipboard on this device's clipboard, with a
// notification when the user wants one; when nothing newer came and the
// clipboard still holds clippings deleted elsewhere, it empties the clipboard.
// The application's push handler and the headless test device run this same
// code.
//
// Threads: pushes arrive on the main queue; the fetch completes on a cloud
// queue, which hands the clipboard work to the main context's queue (the main
// thread) and waits for it, then posts the status line's end. Made in a
// shared_ptr (the fetch's completion holds it weakly).
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Clipping;
class TLCloudKitSyncManager;
class TLPasteboardManager;
namespace desktop {
class UserNotificationCenter;
}
namespace store {
class Context;
}

class TLClipboardSync : public std::enable_shared_from_this<TLClipboardSync> {
public:
    struct Environment {
        std::shared_ptr<store::Context> managedObjectContext;  // the store's main context
        std::shared_ptr<TLPasteboardManager> pasteboardManager;
        // Where the synced clipboard is announced; null: never announced.
        std::function<std::shared_ptr<desktop::UserNotificationCenter>()> userNotificationCenter;
        // Whether the browser window is the active window (then nothing is
        // announced: the user sees the clipboard change there). Null: never.
        std::function<bool()> isMainWindowKey;
        // Runs on the main queue after each push's work ended, once the
        // clipboard holds what it wrote.
        std::function<void()> pushHandled;
    };

    // Notification texts are cut past this many characters (code points).
    static constexpr size_t kMaxNotificationCharacters = 500;
    static constexpr const char* kDefaultNotificationText = "Clipboard Synced";
    static constexpr const char* kNotificationTitle = "Tavlo";

    explicit TLClipboardSync(Environment environment);

    // One push. engine: the sync engine now, null while none was made yet
    // (then the status line says "Downloading changes" and nothing follows).
    void didReceiveRemoteNotification(const std::shared_ptr<TLCloudKitSyncManager>& engine);
    // The clipboard sync after a successful fetch; main thread.
    void syncClipboard();

    // The notification's text for a group (first clipping first).
    static std::string notificationText(const std::vector<std::shared_ptr<Clipping>>& group, bool showContent);
    // A text of more than kMaxNotificationCharacters characters as its first
    // kMaxNotificationCharacters - 1 and "..."; never cut inside a character.
    static std::string shortenedText(const std::string& text);

private:
    // Nothing new came: empties the clipboard when it still holds what this
    // program wrote and one of those clippings is gone.
    void checkPasteboardForDeletedClippings();
    void announce(const std::vector<std::shared_ptr<Clipping>>& group);
    std::shared_ptr<desktop::UserNotificationCenter> notificationCenter();
    void finishPush();

    Environment environment_;
    std::shared_ptr<desktop::UserNotificationCenter> notificationCenter_;
};
