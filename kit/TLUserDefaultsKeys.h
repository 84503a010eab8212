#pragma once
// Keys of the settings suite and names of the notifications that pass between
// the parts of the application. A settings writer posts a notification named
// after the key it changed, so several names serve as both.

// Settings read and written by capture.
inline constexpr const char* TLUserDefaultsCaptureClipboard = "TLUserDefaultsCaptureClipboard";
inline constexpr const char* TLUserDefaultsAllowDupes = "TLUserDefaultsAllowDupes";
inline constexpr const char* TLUserDefaultsClipboardSize = "TLUserDefaultsClipboardSize";
inline constexpr const char* TLUserDefaultsClipboardSync = "TLUserDefaultsClipboardSync";
inline constexpr const char* TLUserDefaultsClipboardSyncTavloDate = "TLUserDefaultsClipboardSyncTavloDate";
inline constexpr const char* TLUserDefaultsPasteboardChangeCount = "TLUserDefaultsPasteboardChangeCount";
inline constexpr const char* TLUserDefaultsPasteboardClippingIDs = "TLUserDefaultsPasteboardClippingIDs";
inline constexpr const char* TLUserDefaultsShowClipboardSyncPushNotifications =
    "TLUserDefaultsShowClipboardSyncPushNotifications";
inline constexpr const char* TLUserDefaultsShowClipboardContentInNotification =
    "TLUserDefaultsShowClipboardContentInNotification";
inline constexpr const char* TLUserDefaultsSelectedListID = "TLUserDefaultsSelectedListID";
inline constexpr const char* TLUserDefaultsSyncEnabled = "TLUserDefaultsSyncEnabled";
// The sync engine's: server clock minus local clock in whole seconds, the
// zone's change token (the cloud layer's token bytes), and the local time a
// launch pass last ended well.
inline constexpr const char* TLUserDefaultsServerTimeOffset = "TLUserDefaultsServerTimeOffset";
inline constexpr const char* TLUserDefaultsCloudKitServerChangeToken = "TLUserDefaultsCloudKitServerChangeToken";
inline constexpr const char* TLUserDefaultsLastSyncDate = "TLUserDefaultsLastSyncDate";
// The sync engine's pending deletions: record names of objects deleted here
// whose records are still to be deleted on the server (array of strings,
// changed on the main queue only).
// Removed when sync is switched off; nothing writes it.
inline constexpr const char* TLUserDefaultsiCloudUbiquityTokenIdentifier = "TLUserDefaultsiCloudUbiquityTokenIdentifier";
inline constexpr const char* TLUserDefaultsDeleteTransactions = "TLUserDefaultsDeleteTransactions";
// The browser's recent searches, which the Sync pane takes from the key-value store.
inline constexpr const char* TLUserDefaultsRecentSearches = "TLUserDefaultsRecentSearches";
inline constexpr const char* TLUserDefaultsPlainTextMode = "TLUserDefaultsPlainTextMode";
inline constexpr const char* TLUserDefaultsPlaySounds = "TLUserDefaultsPlaySounds";

// The per-application rules and the rule for the others.
inline constexpr const char* TLApplicationRules = "TLApplicationRules";
inline constexpr const char* TLAppRuleBundleIdentifier = "TLAppRuleBundleIdentifier";
inline constexpr const char* TLAppRuleBundleName = "TLAppRuleBundleName";
inline constexpr const char* TLAppRuleOption = "TLAppRuleOption";
inline constexpr const char* TLAppRuleListID = "TLAppRuleListID";
inline constexpr const char* TLDefaultRuleOption = "TLDefaultRuleOption";
inline constexpr const char* TLDefaultListID = "TLDefaultListID";

// Notifications.
inline constexpr const char* TLTimerTickNotification = "TLTimerTickNotification";
inline constexpr const char* TLClipboardDidUpdateNotification = "TLClipboardDidUpdateNotification";
inline constexpr const char* TLRemovedDuplicateClippingNotification = "TLRemovedDuplicateClippingNotification";
inline constexpr const char* TLShowPreferencesWindow = "TLShowPreferencesWindow";
inline constexpr const char* TLShowAboutWindow = "TLShowAboutWindow";
inline constexpr const char* TLRegisterHotkeys = "TLRegisterHotkeys";
inline constexpr const char* TLSyncManagerEnableSyncNotification = "TLSyncManagerEnableSyncNotification";
inline constexpr const char* TLSyncManagerDidDisableSyncNotification = "TLSyncManagerDidDisableSyncNotification";
// Observed by the Sync pane after a switch-on; nothing posts it.
inline constexpr const char* TLSyncManagerDidEnableSyncNotification = "TLSyncManagerDidEnableSyncNotification";
// Posted by the sync engine (any thread) with its status text (a std::string
// value) while it works, and with no value when it has finished, which shows
// the last-sync line again. The error one carries the foundation::Error of a
// failed zone creation, on the main queue.
inline constexpr const char* TLShowSyncStatusNotification = "TLShowSyncStatusNotification";
inline constexpr const char* TLSyncManagerCheckingForRecordZoneNotification = "TLSyncManagerCheckingForRecordZoneNotification";
inline constexpr const char* TLSyncManagerCreatingRecordZoneNotification = "TLSyncManagerCreatingRecordZoneNotification";
inline constexpr const char* TLSyncManagerEnableSyncErrorNotification = "TLSyncManagerEnableSyncErrorNotification";
inline constexpr const char* TLSyncManagerSubscriptionNotification = "TLSyncManagerSubscriptionNotification";
inline constexpr const char* TLSyncManagerDidSubscribeNotification = "TLSyncManagerDidSubscribeNotification";
inline constexpr const char* TLSyncManagerFetchChangesNotification = "TLSyncManagerFetchChangesNotification";
inline constexpr const char* TLSyncManagerUploadNotification = "TLSyncManagerUploadNotification";
inline constexpr const char* TLSyncManagerDidFinishUploadingNotification = "TLSyncManagerDidFinishUploadingNotification";
// Posted by the sync engine (any thread) with the foundation::Error of a
// failed reconcile step for the Sync pane to show.
inline constexpr const char* TLSyncErrorNotification = "TLSyncErrorNotification";
inline constexpr const char* TLSyncManagerDidFinishFetchingChangesNotification =
    "TLSyncManagerDidFinishFetchingChangesNotification";
// The browser window: detach toggles between attached and detached; activated
// follows every show.
inline constexpr const char* TLDetachWindowNotification = "TLDetachWindowNotification";
inline constexpr const char* TLAttachWindowNotification = "TLAttachWindowNotification";
inline constexpr const char* TLTavloWindowActivatedNotification = "TLTavloWindowActivatedNotification";
// Posted by the clippings table around a drag of rows out of it.
inline constexpr const char* TLClippingTableViewBeginDraggingNotification =
    "TLClippingTableViewBeginDraggingNotification";
inline constexpr const char* TLClippingTableViewEndDraggingNotification = "TLClippingTableViewEndDraggingNotification";
// Posted around a paste into the front application that leaves the browser up.
inline constexpr const char* TLPanelTemporarilyResignKey = "TLPanelTemporarilyResignKey";
inline constexpr const char* TLPanelRegainKeyWindow = "TLPanelRegainKeyWindow";

// Hotkey identifiers, which double as the names of the notifications they post.
inline constexpr const char* TLHotkeyShowApplication = "TLHotkeyShowApplication";
inline constexpr const char* TLHotkeyToggleClipboardRecorder = "TLHotkeyToggleClipboardRecorder";
inline constexpr const char* TLHotkeySaveClipboard = "TLHotkeySaveClipboard";
inline constexpr const char* TLHotkeyClearClipboardKey = "TLHotkeyClearClipboardKey";
inline constexpr const char* TLHotkeyTogglePlainText = "TLHotkeyTogglePlainText";
inline constexpr const char* TLHotkeyNextList = "TLHotkeyNextList";
inline constexpr const char* TLHotkeyCopyNextClipping = "TLHotkeyCopyNextClipping";
inline constexpr const char* TLHotkeyPasteNextClippingKey = "TLHotkeyPasteNextClippingKey";
// Posted by the numbered hotkeys with the position as an int64_t value (0 for the tenth).
inline constexpr const char* TLCopyClippingAtIndexNotification = "TLCopyClippingAtIndexNotification";
inline constexpr const char* TLPasteClippingAtIndexNotification = "TLPasteClippingAtIndexNotification";
// Read from the settings suite but written to the standard user defaults, so it
// reads NO at every launch and the default hotkeys are registered at every launch.
inline constexpr const char* TLUserDefaultsHotkeysRegistered = "TLUserDefaultsHotkeysRegistered";

// Settings the application shell writes at the first launch and fills in later.
inline constexpr const char* TLUserDefaultsInitialized = "TLUserDefaultsInitialized";
inline constexpr const char* TLUserDefaultsFloatWindow = "TLUserDefaultsFloatWindow";
inline constexpr const char* TLUserDefaultsShowsMenuBarIcon = "TLUserDefaultsShowsMenuBarIcon";
inline constexpr const char* TLUserDefaultsWindowIsDetached = "TLUserDefaultsWindowIsDetached";
inline constexpr const char* TLUserDefaultsHideWindowOnLaunchKey = "TLUserDefaultsHideWindowOnLaunchKey";
inline constexpr const char* TLUserDefaultsWindowFrame = "TLUserDefaultsWindowFrame";
inline constexpr const char* TLUserDefaultsWindowAppearance = "TLUserDefaultsWindowAppearance";
inline constexpr const char* TLUserDefaultsDragAction = "TLUserDefaultsDragAction";
inline constexpr const char* TLUserDefaultsDoubleClickAction = "TLUserDefaultsDoubleClickAction";
inline constexpr const char* TLUserDefaultsCopyTemplates = "TLUserDefaultsCopyTemplates";
inline constexpr const char* TLUserDefaultsTemplateName = "TLUserDefaultsTemplateName";
inline constexpr const char* TLUserDefaultsTemplateFormat = "TLUserDefaultsTemplateFormat";
inline constexpr const char* TLUserDefaultsRowHeightKey = "TLUserDefaultsRowHeightKey";
inline constexpr const char* TLUserDefaultsScrollToTopOnActivation = "TLUserDefaultsScrollToTopOnActivation";
// The history's order and what it shows (NO until set).
inline constexpr const char* TLUserDefaultsHideListItems = "TLUserDefaultsHideListItems";
inline constexpr const char* TLUserDefaultsSortByAddDate = "TLUserDefaultsSortByAddDate";
inline constexpr const char* TLUserDefaultsReverseSort = "TLUserDefaultsReverseSort";
inline constexpr const char* TLUserDefaultsCloseDetachedWindowOnResignKey = "TLUserDefaultsCloseDetachedWindowOnResignKey";
inline constexpr const char* TLUserDefaultsOptionReturnActionKey = "TLUserDefaultsOptionReturnActionKey";
inline constexpr const char* TLUserDefaultsCommandReturnActionKey = "TLUserDefaultsCommandReturnActionKey";
// Start at login: the setting, and the bundle identifier of the login item
// (Contents/Library/LoginItems/TavloLauncher.app) that it registers.
inline constexpr const char* TLUserDefaultsStartAtLogin = "TLUserDefaultsStartAtLogin";
inline constexpr const char* TLLauncherBundleIdentifier = "com.tavlo.TavloLauncher";
// An older form of TLDefaultRuleOption: YES saved what no rule named, NO did not.
inline constexpr const char* TLApplicationRulesWhitelistAppsByDefault = "TLApplicationRulesWhitelistAppsByDefault";

// What the browser does on a click, an Option-click and the Return-key
// combinations (TLClippingAction codes), whether a copy or paste closes its
// window, and whether the numbered shortcuts also paste.
inline constexpr const char* TLUserDefaultsOptionClickActionKey = "TLUserDefaultsOptionClickActionKey";
inline constexpr const char* TLUserDefaultsReturnActionKey = "TLUserDefaultsReturnActionKey";
inline constexpr const char* TLUserDefaultsControlReturnActionKey = "TLUserDefaultsControlReturnActionKey";
inline constexpr const char* TLUserDefaultsCopyPasteClosesWindow = "TLUserDefaultsCopyPasteClosesWindow";
inline constexpr const char* TLUserDefaultsPasteNumberedShortcuts = "TLUserDefaultsPasteNumberedShortcuts";
