#pragma once
// The loaded values of one managed object, sorted by property index. The first
// two live inside the object, so a fault made by a fetch (its sort keys) needs
// no allocation of its own; a fully loaded object keeps them on the heap.
// Confined to the owning object's context queue.

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/store/Value.h"

namespace store {

class SlotList {
public:
    using Slot = std::pair<int, Value>;
    static constexpr size_t kInline = 2;

    size_t size() const { return heap_.empty() ? inlineCount_ : heap_.size(); }
    Slot* begin() { return heap_.empty() ? inline_ : heap_.data(); }
    Slot* end() { return begin() + size(); }
    const Slot* begin() const { return heap_.empty() ? inline_ : heap_.data(); }
    const Slot* end() const { return begin() + size(); }

    const Value* find(int property) const {
        const Slot* it = lowerBound(property);
        return it != end() && it->first == property ? &it->second : nullptr;
    }
    void set(int property, Value value) {
        Slot* it = lowerBound(property);
        if (it != end() && it->first == property) {
            it->second = std::move(value);
            return;
        }
        size_t at = static_cast<size_t>(it - begin());
        if (heap_.empty() && inlineCount_ < kInline) {
            for (size_t i = inlineCount_; i > at; --i) inline_[i] = std::move(inline_[i - 1]);
            inline_[at] = {property, std::move(value)};
            ++inlineCount_;
            return;
        }
        spill(size() + 1);
        heap_.insert(heap_.begin() + static_cast<std::ptrdiff_t>(at), Slot{property, std::move(value)});
    }
    void reserve(size_t n) {
        if (n > kInline) spill(n);
    }
    void clear() {
        for (size_t i = 0; i < inlineCount_; ++i) inline_[i].second = Value();
        inlineCount_ = 0;
        std::vector<Slot>().swap(heap_);
    }
    // Keeps the slots whose property bit is set in mask.
    void keep(uint64_t mask) {
        std::vector<Slot> kept;
        for (Slot& s : *this)
            if (mask & (uint64_t(1) << s.first)) kept.push_back(std::move(s));
        clear();
        for (Slot& s : kept) set(s.first, std::move(s.second));
    }

private:
    Slot* lowerBound(int property) {
        return std::lower_bound(begin(), end(), property, [](const Slot& s, int p) { return s.first < p; });
    }
    const Slot* lowerBound(int property) const {
        return std::lower_bound(begin(), end(), property, [](const Slot& s, int p) { return s.first < p; });
    }
    void spill(size_t capacity) {
        if (!heap_.empty()) {
            heap_.reserve(capacity);
            return;
        }
        heap_.reserve(std::max(capacity, kInline + 1));
        for (size_t i = 0; i < inlineCount_; ++i) heap_.push_back(std::move(inline_[i]));
        for (size_t i = 0; i < inlineCount_; ++i) inline_[i].second = Value();
        inlineCount_ = 0;
    }

    Slot inline_[kInline];
    uint8_t inlineCount_ = 0;
    std::vector<Slot> heap_;
};

}  // namespace store
