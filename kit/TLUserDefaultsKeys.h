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
inline constexpr const char* TLUserDefaultsSelectedListID = "TLUserDefaultsSelectedListID";
inline constexpr const char* TLUserDefaultsSyncEnabled = "TLUserDefaultsSyncEnabled";
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
