#pragma once
// Measured row heights, by clipping identifier and panel width, kept in memory
// and in the shared settings suite under "TLClippingCellHeights" (identifier ->
// width text -> height), so they survive relaunches.
//
// Threads: writes come from the panel's measuring queue, reads, deletions and
// pruning from the main thread; every operation works on the one map under a
// mutex, so a write never starts from a stale copy and never brings back an
// entry a deletion has just removed.
//
// Bounds: each clipping keeps the heights of its current and its previous
// width. The map goes to the settings at most once every kStoreInterval
// seconds (on a background queue) and at quit (storeNow()), and then holds only
// the kStoredClippings most recently used clippings: the settings file is
// rewritten whole at every synchronise and read as damaged above 64 MiB, so an
// ever-growing map written at every measurement would cost every setting.
#include <QtGlobal>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/PlistValue.h"

class TLCellHeightCache {
public:
    static constexpr const char* kSettingsKey = "TLClippingCellHeights";
    static constexpr size_t kStoredClippings = 10000;
    static constexpr double kStoreInterval = 5.0;

    // The one instance, made on first use.
    static TLCellHeightCache& sharedCache();

    // The stored height read back in single precision; 0 when there is none for
    // that clipping and width.
    static float cellHeightForClipping(const std::string& clippingID, double width);
    // Stores one height; a negative or non-finite height or width stores nothing.
    static void setCellHeight(double height, const std::string& clippingID, double width);
    // Drops every height of that clipping; nothing for none.
    static void deleteCellHeightForClipping(const std::optional<std::string>& clippingID);
    // Drops the heights of every clipping the store no longer holds.
    static void pruneToClippingIDs(const std::unordered_set<std::string>& clippingIDs);
    // The clippings that have heights, so that a prune asks the store about
    // those only; and dropping the heights of some at once.
    static std::vector<std::string> clippingIDs();
    static void deleteCellHeightsForClippings(const std::vector<std::string>& clippingIDs);
    // Writes what changed into the settings suite now (at quit; the caller
    // synchronises the suite).
    static void storeNow();

    // The width as the settings key writes it: the shortest decimal text that
    // reads back as the same number ("320", "320.5").
    static std::string widthKey(double width);

    // The in-memory map as the settings hold it; nothing until first loaded.
    std::optional<foundation::PlistValue::Dictionary> cachedHeights() const;
    // Replaces the map; nothing makes the next use load it from the settings
    // again (and forgets a pending store).
    void setCachedHeights(const std::optional<foundation::PlistValue::Dictionary>& heights);

    // How many clippings have heights in memory.
    size_t count() const;

private:
    TLCellHeightCache() = default;

    // A clipping's current width and height in slot 0, its previous in slot 1.
    struct Entry {
        std::array<double, 2> widths{};
        std::array<float, 2> heights{};
        uint32_t lastUse = 0;
        uint8_t count = 0;
    };
    // Identifiers up to 39 bytes (every clipping identifier has 38) are held in
    // the node itself; longer ones go to a second map keyed by std::string.
    struct ShortID {
        uint8_t size = 0;
        std::array<char, 39> chars{};
        std::string_view view() const { return {chars.data(), size}; }
        bool operator==(const ShortID& other) const { return view() == other.view(); }
    };
    struct ShortIDHash {
        size_t operator()(const ShortID& id) const { return std::hash<std::string_view>()(id.view()); }
    };

    static std::optional<ShortID> shortID(std::string_view id);  // none for a long identifier
    Entry* find(std::string_view id);
    Entry& findOrAdd(std::string_view id);
    bool erase(std::string_view id);
    void loadIfNeeded();  // under mutex_
    void insertLoaded(std::string_view id, const foundation::PlistValue& widths);
    void scheduleStore();  // under mutex_
    foundation::PlistValue::Dictionary dictionary(size_t limit) const;  // under mutex_

    mutable std::mutex mutex_;
    bool loaded_ = false;
    std::unordered_map<ShortID, Entry, ShortIDHash> short_;
    std::unordered_map<std::string, Entry> long_;
    uint32_t useClock_ = 0;
    bool dirty_ = false;
    bool storeScheduled_ = false;
    uint64_t generation_ = 0;  // a replaced map cancels the store scheduled for the old one
};
