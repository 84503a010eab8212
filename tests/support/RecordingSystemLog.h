#pragma once
// A system log that keeps every line in memory, so tests can check what a
// component reported. Install it for the length of a test with
// RecordingSystemLog::Scope; the previous instance comes back afterwards.
// Any thread may write; readers take a copy.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/SystemLog.h"

namespace testsupport {

class RecordingSystemLog : public foundation::SystemLog {
public:
    struct Entry {
        Priority priority;
        std::string message;
        std::vector<Field> fields;
    };

    // Makes a recording log current while it lives.
    class Scope {
    public:
        Scope() : log_(std::make_shared<RecordingSystemLog>()), previous_(SystemLog::setCurrent(log_)) {}
        ~Scope() { SystemLog::setCurrent(previous_); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        RecordingSystemLog& operator*() const { return *log_; }
        RecordingSystemLog* operator->() const { return log_.get(); }

    private:
        std::shared_ptr<RecordingSystemLog> log_;
        std::shared_ptr<SystemLog> previous_;
    };

    void write(Priority priority, std::string_view message, const std::vector<Field>& fields) override {
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(Entry{priority, std::string(message), fields});
        }
        changed_.notify_all();
    }

    bool carriesFields() const override { return carriesFields_; }
    void setCarriesFields(bool carries) { carriesFields_ = carries; }

    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : entries_) out.push_back(e.message);
        return out;
    }

    // How many lines contain the text.
    size_t count(std::string_view text) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& e : entries_) n += e.message.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

    bool contains(std::string_view text) const { return count(text) > 0; }

    // Waits (on the real clock, for work running on other threads) until a line
    // contains the text; answers whether one did in time.
    bool waitFor(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& e : entries_)
                if (e.message.find(text) != std::string::npos) return true;
            return false;
        });
    }

    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Entry> entries_;
    std::atomic<bool> carriesFields_ = true;
};

}  // namespace testsupport
