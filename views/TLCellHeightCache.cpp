#include "TLCellHeightCache.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"

using foundation::PlistValue;

namespace {

bool usableHeight(double height) { return std::isfinite(height) && height >= 0; }
bool usableWidth(double width) { return std::isfinite(width); }

// A width key read back: the whole text must be a finite number.
std::optional<double> parseWidthKey(const std::string& text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

TLCellHeightCache& TLCellHeightCache::sharedCache() {
    static auto* cache = new TLCellHeightCache();  // never destroyed: a store may run during exit
    return *cache;
}

std::string TLCellHeightCache::widthKey(double width) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, width);
    if (error != std::errc()) return {};
    return std::string(buffer, end);
}

std::optional<TLCellHeightCache::ShortID> TLCellHeightCache::shortID(std::string_view id) {
    ShortID key;
    if (id.size() > key.chars.size()) return std::nullopt;
    key.size = static_cast<uint8_t>(id.size());
    std::copy(id.begin(), id.end(), key.chars.begin());
    return key;
}

TLCellHeightCache::Entry* TLCellHeightCache::find(std::string_view id) {
    if (auto key = shortID(id)) {
        auto it = short_.find(*key);
        return it == short_.end() ? nullptr : &it->second;
    }
    auto it = long_.find(std::string(id));
    return it == long_.end() ? nullptr : &it->second;
}

TLCellHeightCache::Entry& TLCellHeightCache::findOrAdd(std::string_view id) {
    if (auto key = shortID(id)) return short_[*key];
    return long_[std::string(id)];
}

bool TLCellHeightCache::erase(std::string_view id) {
    if (auto key = shortID(id)) return short_.erase(*key) > 0;
    return long_.erase(std::string(id)) > 0;
}

void TLCellHeightCache::insertLoaded(std::string_view id, const PlistValue& widths) {
    const auto* inner = widths.asDictionary();
    if (!inner) return;
    Entry entry;
    for (const auto& [key, value] : *inner) {
        if (entry.count == 2) break;
        // Only numbers count: a string, NaN, infinity or a negative height is missing.
        if (value.type() != PlistValue::Type::Real && value.type() != PlistValue::Type::Integer) continue;
        double height = value.doubleValue();
        auto width = parseWidthKey(key);
        if (!width || !usableHeight(height)) continue;
        entry.widths[entry.count] = *width;
        entry.heights[entry.count] = static_cast<float>(height);
        ++entry.count;
    }
    if (entry.count > 0) findOrAdd(id) = entry;
}

void TLCellHeightCache::loadIfNeeded() {
    if (loaded_) return;
    loaded_ = true;
    auto stored = foundation::UserDefaults::applicationGroup()->dictionaryForKey(kSettingsKey);
    if (!stored) return;
    short_.reserve(stored->size());
    for (const auto& [id, widths] : *stored) insertLoaded(id, widths);
}

float TLCellHeightCache::cellHeightForClipping(const std::string& clippingID, double width) {
    auto& cache = sharedCache();
    std::lock_guard lock(cache.mutex_);
    cache.loadIfNeeded();
    Entry* entry = cache.find(clippingID);
    if (!entry) return 0;
    for (uint8_t i = 0; i < entry->count; ++i) {
        if (entry->widths[i] != width) continue;
        entry->lastUse = ++cache.useClock_;
        return entry->heights[i];
    }
    return 0;
}

void TLCellHeightCache::setCellHeight(double height, const std::string& clippingID, double width) {
    if (!usableHeight(height) || !usableWidth(width)) return;
    auto& cache = sharedCache();
    std::lock_guard lock(cache.mutex_);
    cache.loadIfNeeded();
    Entry& entry = cache.findOrAdd(clippingID);
    entry.lastUse = ++cache.useClock_;
    auto value = static_cast<float>(height);
    if (entry.count > 1 && entry.widths[1] == width) {
        // The previous width again: it becomes the current one.
        std::swap(entry.widths[0], entry.widths[1]);
        std::swap(entry.heights[0], entry.heights[1]);
    } else if (entry.count == 0 || entry.widths[0] != width) {
        entry.widths[1] = entry.widths[0];
        entry.heights[1] = entry.heights[0];
        entry.count = entry.count == 0 ? 1 : 2;
        entry.widths[0] = width;
    }
    entry.heights[0] = value;
    cache.dirty_ = true;
    cache.scheduleStore();
}

void TLCellHeightCache::deleteCellHeightForClipping(const std::optional<std::string>& clippingID) {
    if (!clippingID) return;
    auto& cache = sharedCache();
    std::lock_guard lock(cache.mutex_);
    cache.loadIfNeeded();
    if (!cache.erase(*clippingID)) return;
    cache.dirty_ = true;
    cache.scheduleStore();
}

void TLCellHeightCache::pruneToClippingIDs(const std::unordered_set<std::string>& clippingIDs) {
    auto& cache = sharedCache();
    std::lock_guard lock(cache.mutex_);
    cache.loadIfNeeded();
    bool removed = false;
    for (auto it = cache.short_.begin(); it != cache.short_.end();) {
        if (clippingIDs.count(std::string(it->first.view()))) {
            ++it;
        } else {
            it = cache.short_.erase(it);
            removed = true;
        }
    }
    removed |= std::erase_if(cache.long_, [&](const auto& item) { return !clippingIDs.count(item.first); }) > 0;
    if (!removed) return;
    cache.dirty_ = true;
    cache.scheduleStore();
}

std::vector<std::string> TLCellHeightCache::clippingIDs() {
    auto& cache = sharedCache();
    std::lock_guard lock(cache.mutex_);
    cache.loadIfNeeded();
    std::vector<std::string> ids;
    ids.reserve(cache.short_.size() + cache.long_.size());
    for (const auto& item : cache.short_) ids.emplace_back(item.first.view());
    for (const auto& item : cache.long_) ids.push_back(item.first);
    return ids;
}

void TLCellHeightCache::deleteCellHeightsForClippings(const std::vector<std::string>& clippingIDs) {
    auto& cache = sharedCache();
    std::lock_guard lock(cache.mutex_);
    cache.loadIfNeeded();
    bool removed = false;
    for (const std::string& id : clippingIDs) removed |= cache.erase(id);
    if (!removed) return;
    cache.dirty_ = true;
    cache.scheduleStore();
}

void TLCellHeightCache::scheduleStore() {
    if (storeScheduled_) return;
    storeScheduled_ = true;
    // kStoreInterval after the first change the settings have not seen, so two
    // stores are always that far apart and the changes between go together.
    uint64_t generation = generation_;
    dispatch::after(kStoreInterval, dispatch::Queue::global(dispatch::Priority::Background), [generation] {
        auto& cache = sharedCache();
        {
            std::lock_guard lock(cache.mutex_);
            if (cache.generation_ != generation) return;
        }
        storeNow();
    });
}

PlistValue::Dictionary TLCellHeightCache::dictionary(size_t limit) const {
    // The most recently used clippings first, cut at the limit.
    struct Ref {
        uint32_t lastUse;
        std::string_view id;
        const Entry* entry;
    };
    std::vector<Ref> refs;
    refs.reserve(short_.size() + long_.size());
    for (const auto& [id, entry] : short_) refs.push_back({entry.lastUse, id.view(), &entry});
    for (const auto& [id, entry] : long_) refs.push_back({entry.lastUse, id, &entry});
    if (refs.size() > limit) {
        std::nth_element(refs.begin(), refs.begin() + static_cast<ptrdiff_t>(limit), refs.end(),
                         [](const Ref& a, const Ref& b) { return a.lastUse > b.lastUse; });
        refs.resize(limit);
    }
    PlistValue::Dictionary out;
    for (const auto& ref : refs) {
        PlistValue::Dictionary widths;
        for (uint8_t i = 0; i < ref.entry->count; ++i)
            widths.emplace(widthKey(ref.entry->widths[i]), PlistValue(static_cast<double>(ref.entry->heights[i])));
        out.emplace(std::string(ref.id), PlistValue(std::move(widths)));
    }
    return out;
}

void TLCellHeightCache::storeNow() {
    auto& cache = sharedCache();
    // One store at a time, so an older map never lands after a newer one.
    static std::mutex storing;
    std::lock_guard storeLock(storing);
    PlistValue::Dictionary heights;
    {
        std::lock_guard lock(cache.mutex_);
        cache.storeScheduled_ = false;
        if (!cache.dirty_) return;
        cache.dirty_ = false;
        heights = cache.dictionary(kStoredClippings);
    }
    foundation::UserDefaults::applicationGroup()->setObject(PlistValue(std::move(heights)), kSettingsKey);
}

std::optional<PlistValue::Dictionary> TLCellHeightCache::cachedHeights() const {
    std::lock_guard lock(mutex_);
    if (!loaded_) return std::nullopt;
    return dictionary(short_.size() + long_.size());
}

void TLCellHeightCache::setCachedHeights(const std::optional<PlistValue::Dictionary>& heights) {
    std::lock_guard lock(mutex_);
    short_.clear();
    long_.clear();
    ++generation_;
    storeScheduled_ = false;
    dirty_ = false;
    loaded_ = heights.has_value();
    if (!heights) return;
    for (const auto& [id, widths] : *heights) insertLoaded(id, widths);
}

size_t TLCellHeightCache::count() const {
    std::lock_guard lock(mutex_);
    return short_.size() + long_.size();
}
