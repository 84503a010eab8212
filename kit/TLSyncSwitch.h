#pragma once
// Switching sync on and off as the Sync pane does it, kept apart from the
// pane's controls so the headless test device runs the same steps: the
// flags, the key-value store's merge, and the two ways of switching off
// (keep the data on this device and remove the zone, or keep it in the
// cloud and remove it here). Main queue.
#include <functional>
#include <memory>

namespace cloud {
class Container;
class UbiquitousKeyValueStore;
}  // namespace cloud
namespace store {
class Context;
}

class TLSyncSwitch {
public:
    // Sync, clipboard sync and its notifications on or off, synchronised.
    static void storeSyncFlags(bool on);
    // The three flags on; posts TLUserDefaultsSyncEnabled.
    static void storeSwitchedOn();
    // The three flags off after the zone could not be made, with the change
    // token, the ubiquity identifier and the pending deletions removed.
    static void storeSwitchedOff();

    // Takes the recent searches, the copy templates (the store's, then each
    // local one whose format the store lacks) and the history limit from the
    // store; the merged templates go back to the store. Posts
    // TLUserDefaultsClipboardSize when the limit was taken.
    static void mergeFromKeyValueStore(cloud::UbiquitousKeyValueStore& store);

    // "Keep on This Mac": deletes the record zone; once that succeeded, on the
    // main queue, switches everything off, calls switchedOff, posts
    // TLSyncManagerDidDisableSyncNotification and forgets every object's
    // record, so switching on again uploads them all. A failed deletion
    // changes nothing. completion (main queue) tells whether it was deleted.
    static void keepOnThisMac(const std::shared_ptr<cloud::Container>& container,
                              const std::shared_ptr<store::Context>& mainContext, std::function<void()> switchedOff,
                              std::function<void(bool deleted)> completion = nullptr);
    // "Keep on iCloud": switches everything off, calls switchedOff, posts
    // TLSyncManagerDidDisableSyncNotification, deletes every list, clipping,
    // asset and asset file here, and this device's subscriptions (the other
    // devices keep theirs). The zone and its records stay.
    static void keepOnICloud(const std::shared_ptr<cloud::Container>& container,
                             const std::shared_ptr<store::Context>& mainContext, std::function<void()> switchedOff);
};
