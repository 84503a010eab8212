#include "platform/foundation/SystemLogReader.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>

#ifdef TAVLO_HAVE_SYSTEMD
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-journal.h>
#include <time.h>
#include <unistd.h>
#endif

namespace foundation {

namespace {

constexpr const char* kErrorDomain = "SystemLogReaderErrorDomain";

#ifdef TAVLO_HAVE_SYSTEMD

// A watcher wakes at least this often, so its handler can notice that nobody
// wants it any more even while the log stays quiet.
constexpr int kLongestQuietMilliseconds = 1000;

struct JournalCloser {
    void operator()(sd_journal* j) const { sd_journal_close(j); }
};
using JournalHandle = std::unique_ptr<sd_journal, JournalCloser>;

Result<JournalHandle> openHandle() {
    sd_journal* j = nullptr;
    int r = sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY);
    if (r < 0) return Error(kErrorDomain, -r, "The journal cannot be opened");
    JournalHandle handle(j);
    uint64_t bytes = 0;
    if (sd_journal_get_usage(j, &bytes) < 0 || bytes == 0)
        return Error(kErrorDomain, ENOENT, "No journal files are readable");
    return handle;
}

class JournalWatch final : public SystemLogReader::Watch {
public:
    JournalWatch(JournalHandle journal, std::function<void()> onChange)
        : journal_(std::move(journal)), onChange_(std::move(onChange)), wakeFd_(::eventfd(0, EFD_CLOEXEC)) {
        // Reading the fd's events once sets up the inotify watches, so entries
        // written from now on are noticed.
        sd_journal_get_fd(journal_.get());
        thread_ = std::thread([this] { run(); });
    }

    ~JournalWatch() override {
        stopping_ = true;
        uint64_t one = 1;
        if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
        thread_.join();
        if (wakeFd_ >= 0) ::close(wakeFd_);
    }

private:
    void run() {
        sd_journal* j = journal_.get();
        while (!stopping_) {
            pollfd fds[2] = {{sd_journal_get_fd(j), static_cast<short>(sd_journal_get_events(j)), 0},
                             {wakeFd_, POLLIN, 0}};
            int timeout = kLongestQuietMilliseconds;
            uint64_t until = 0;
            if (sd_journal_get_timeout(j, &until) >= 0 && until != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const uint64_t nowUsec = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
                const uint64_t waitMs = until > nowUsec ? (until - nowUsec + 999) / 1000 : 0;
                if (waitMs < uint64_t(timeout)) timeout = static_cast<int>(waitMs);
            }
            int r = ::poll(fds, 2, timeout);
            if (r < 0 && errno != EINTR) break;
            if (stopping_) break;
            sd_journal_process(j);
            onChange_();
        }
    }

    JournalHandle journal_;
    std::function<void()> onChange_;
    int wakeFd_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class JournalReader final : public SystemLogReader {
public:
    explicit JournalReader(JournalHandle journal) : journal_(std::move(journal)) {}

    std::vector<Entry> entriesAfter(const std::string& position, int64_t pid) override {
        std::lock_guard lock(mutex_);
        sd_journal* j = journal_.get();
        if (!matchProcess(pid)) return {};
        if (sd_journal_seek_cursor(j, position.c_str()) < 0) return {};
        // The seek lands on the entry itself when it is still there; skip it.
        if (sd_journal_next(j) > 0 && sd_journal_test_cursor(j, position.c_str()) <= 0) return readFromCurrent();
        return readFollowing();
    }

    std::vector<Entry> entriesSince(double time, int64_t pid) override {
        std::lock_guard lock(mutex_);
        sd_journal* j = journal_.get();
        if (!matchProcess(pid)) return {};
        const uint64_t usec = time <= 0 ? 0 : static_cast<uint64_t>(time * 1e6);
        if (sd_journal_seek_realtime_usec(j, usec) < 0) return {};
        return readFollowing();
    }

    std::unique_ptr<Watch> watch(std::function<void()> onChange) override {
        // A handle of its own: sd_journal handles must not be used by two
        // threads at once, and the watcher waits on its handle all the time.
        auto handle = openHandle();
        if (!handle) return std::make_unique<Watch>();
        return std::make_unique<JournalWatch>(std::move(handle).value(), std::move(onChange));
    }

private:
    bool matchProcess(int64_t pid) {
        sd_journal* j = journal_.get();
        sd_journal_flush_matches(j);
        const std::string match = "_PID=" + std::to_string(pid);
        return sd_journal_add_match(j, match.data(), match.size()) >= 0;
    }

    std::vector<Entry> readFollowing() {
        std::vector<Entry> out;
        while (sd_journal_next(journal_.get()) > 0) out.push_back(readEntry());
        return out;
    }

    // The journal already stands on an entry that belongs to the result.
    std::vector<Entry> readFromCurrent() {
        std::vector<Entry> out{readEntry()};
        auto rest = readFollowing();
        out.insert(out.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()));
        return out;
    }

    Entry readEntry() {
        sd_journal* j = journal_.get();
        Entry entry;
        char* cursor = nullptr;
        if (sd_journal_get_cursor(j, &cursor) >= 0 && cursor) {
            entry.position = cursor;
            free(cursor);
        }
        uint64_t usec = 0;
        if (sd_journal_get_realtime_usec(j, &usec) >= 0) entry.time = double(usec) / 1e6;
        const void* data = nullptr;
        size_t length = 0;
        SD_JOURNAL_FOREACH_DATA(j, data, length) {
            std::string_view item(static_cast<const char*>(data), length);
            size_t equals = item.find('=');
            if (equals == std::string_view::npos) continue;
            entry.fields.emplace(std::string(item.substr(0, equals)), std::string(item.substr(equals + 1)));
        }
        return entry;
    }

    std::mutex mutex_;
    JournalHandle journal_;
};

#endif  // TAVLO_HAVE_SYSTEMD

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

struct CurrentSlot {
    bool replaced = false;
    std::shared_ptr<SystemLogReader> reader;
};

CurrentSlot& currentSlot() {
    static CurrentSlot slot;
    return slot;
}

std::shared_ptr<SystemLogReader> journalOrNull() {
    auto journal = SystemLogReader::openJournal();
    return journal ? journal.value() : nullptr;
}

}  // namespace

std::optional<std::string> SystemLogReader::Entry::field(const std::string& name) const {
    auto it = fields.find(name);
    if (it == fields.end()) return std::nullopt;
    return it->second;
}

Result<std::shared_ptr<SystemLogReader>> SystemLogReader::openJournal() {
#ifdef TAVLO_HAVE_SYSTEMD
    auto handle = openHandle();
    if (!handle) return handle.error();
    return std::shared_ptr<SystemLogReader>(std::make_shared<JournalReader>(std::move(handle).value()));
#else
    return Error(kErrorDomain, ENOSYS, "Built without journal support");
#endif
}

std::shared_ptr<SystemLogReader> SystemLogReader::current() {
    std::lock_guard lock(currentMutex());
    auto& slot = currentSlot();
    // The journal is looked for anew until one is found: it may start later.
    if (!slot.replaced && !slot.reader) slot.reader = journalOrNull();
    return slot.reader;
}

std::shared_ptr<SystemLogReader> SystemLogReader::setCurrent(std::shared_ptr<SystemLogReader> reader) {
    std::lock_guard lock(currentMutex());
    auto& slot = currentSlot();
    auto previous = std::move(slot.reader);
    slot.replaced = reader != nullptr;
    slot.reader = std::move(reader);
    return previous;
}

}  // namespace foundation
