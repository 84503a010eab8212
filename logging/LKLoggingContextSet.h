#pragma once
// A set of log contexts that several logger queues may read while another
// thread changes it. Any thread.

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

class LKLoggingContextSet {
public:
    void addToSet(int64_t context);
    void removeFromSet(int64_t context);
    // The members, in ascending order.
    std::vector<int64_t> currentSet() const;
    bool isInSet(int64_t context) const;

private:
    mutable std::mutex mutex_;
    std::set<int64_t> contexts_;
};
