#pragma once
// An in-memory system log that can be both written and read back, so tests can
// follow a line from a writer to a reader: lines written through it become
// entries of this process, carrying their fields, and every watcher is told.
// Install it with FakeSystemJournal::Scope for the length of a test.
// Any thread may call.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/foundation/SystemLog.h"
#include "platform/foundation/SystemLogReader.h"

namespace testsupport {

class FakeSystemJournal : public foundation::SystemLog,
                          public foundation::SystemLogReader,
                          public std::enable_shared_from_this<FakeSystemJournal> {
public:
    using Entry = foundation::SystemLogReader::Entry;

    // Makes a fresh fake both the current system log and the current reader.
    class Scope {
    public:
        Scope()
            : journal_(std::make_shared<FakeSystemJournal>()),
              previousLog_(SystemLog::setCurrent(journal_)),
              previousReader_(SystemLogReader::setCurrent(journal_)) {}
        ~Scope() {
            SystemLogReader::setCurrent(previousReader_);
            SystemLog::setCurrent(previousLog_);
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        FakeSystemJournal& operator*() const { return *journal_; }
        FakeSystemJournal* operator->() const { return journal_.get(); }

    private:
        std::shared_ptr<FakeSystemJournal> journal_;
        std::shared_ptr<SystemLog> previousLog_;
        std::shared_ptr<SystemLogReader> previousReader_;
    };

    // Writing: the line becomes an entry of this process, stamped now.
    void write(Priority priority, std::string_view message, const std::vector<Field>& fields) override {
        std::map<std::string, std::string> values;
        for (const auto& f : fields) values[f.name] = f.value;
        values["MESSAGE"] = std::string(message);
        values["PRIORITY"] = std::to_string(static_cast<int>(priority));
        const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        append(std::move(values), now, ::getpid());
    }
    bool carriesFields() const override { return true; }

    // Adds an entry as another writer would, without telling the watchers.
    void append(std::map<std::string, std::string> fields, std::optional<double> time, int64_t pid) {
        std::lock_guard lock(mutex_);
        Stored stored;
        stored.pid = pid;
        stored.entry.position = std::to_string(++lastPosition_);
        stored.entry.fields = std::move(fields);
        stored.entry.time = time;
        entries_.push_back(std::move(stored));
    }
    // Tells every watcher that entries may have arrived.
    void notify() {
        std::vector<std::shared_ptr<std::function<void()>>> handlers;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, handler] : watchers_) handlers.push_back(handler);
        }
        for (auto& h : handlers) (*h)();
    }

    std::vector<Entry> entriesAfter(const std::string& position, int64_t pid) override {
        std::lock_guard lock(mutex_);
        ++searches_;
        std::vector<Entry> out;
        for (const auto& s : entries_)
            if (s.pid == pid && std::stoull(s.entry.position) > std::stoull(position)) out.push_back(s.entry);
        return out;
    }
    std::vector<Entry> entriesSince(double time, int64_t pid) override {
        std::lock_guard lock(mutex_);
        ++searches_;
        std::vector<Entry> out;
        for (const auto& s : entries_)
            if (s.pid == pid && s.entry.time && *s.entry.time >= time) out.push_back(s.entry);
        return out;
    }

    std::unique_ptr<Watch> watch(std::function<void()> onChange) override {
        std::lock_guard lock(mutex_);
        const int id = ++lastWatch_;
        watchers_[id] = std::make_shared<std::function<void()>>(std::move(onChange));
        changed_.notify_all();
        return std::make_unique<FakeWatch>(shared_from_this(), id);
    }

    size_t watcherCount() const {
        std::lock_guard lock(mutex_);
        return watchers_.size();
    }
    // Waits (real clock, for work on other threads) until count watchers remain.
    bool waitForWatcherCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return watchers_.size() == count; });
    }
    // Waits (real clock) until made watches were ever made and live remain.
    bool waitForWatches(int made, size_t live, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return lastWatch_ == made && watchers_.size() == live; });
    }
    int searches() const {
        std::lock_guard lock(mutex_);
        return searches_;
    }
    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        std::vector<Entry> out;
        for (const auto& s : entries_) out.push_back(s.entry);
        return out;
    }

private:
    struct Stored {
        int64_t pid = 0;
        Entry entry;
    };

    class FakeWatch : public Watch {
    public:
        FakeWatch(std::shared_ptr<FakeSystemJournal> journal, int id) : journal_(std::move(journal)), id_(id) {}
        ~FakeWatch() override {
            std::lock_guard lock(journal_->mutex_);
            journal_->watchers_.erase(id_);
            journal_->changed_.notify_all();
        }

    private:
        std::shared_ptr<FakeSystemJournal> journal_;
        int id_;
    };

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Stored> entries_;
    uint64_t lastPosition_ = 0;
    std::map<int, std::shared_ptr<std::function<void()>>> watchers_;
    int lastWatch_ = 0;
    int searches_ = 0;
};

}  // namespace testsupport
