#include "platform/foundation/SystemLog.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#ifdef TAVLO_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace foundation {
namespace {

class DefaultSystemLog final : public SystemLog {
public:
    void write(Priority priority, std::string_view message, const std::vector<Field>& fields) override {
#ifdef TAVLO_HAVE_SYSTEMD
        if (sendToJournal(priority, message, fields)) return;
#else
        (void)fields;
#endif
        sendToSyslog(priority, message);
    }

    bool carriesFields() const override {
#ifdef TAVLO_HAVE_SYSTEMD
        return true;
#else
        return false;
#endif
    }

private:
#ifdef TAVLO_HAVE_SYSTEMD
    static bool sendToJournal(Priority priority, std::string_view message, const std::vector<Field>& fields) {
        // sd_journal_sendv takes "NAME=value" items; a message may hold newlines,
        // which the native protocol carries as they are.
        std::vector<std::string> items;
        items.reserve(fields.size() + 2);
        items.push_back("PRIORITY=" + std::to_string(static_cast<int>(priority)));
        items.push_back("MESSAGE=" + std::string(message));
        for (const auto& field : fields) items.push_back(field.name + "=" + field.value);
        std::vector<iovec> vectors;
        vectors.reserve(items.size());
        for (auto& item : items) vectors.push_back(iovec{item.data(), item.size()});
        return sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) >= 0;
    }
#endif

    static void sendToSyslog(Priority priority, std::string_view message) {
        static std::once_flag opened;
        std::call_once(opened, [] { openlog(nullptr, LOG_PID, LOG_USER); });
        syslog(static_cast<int>(priority), "%.*s", static_cast<int>(message.size()), message.data());
    }
};

// Lines appended to a file, one per line, for a test that runs the program
// and reads what it logged.
class FileSystemLog final : public SystemLog {
public:
    explicit FileSystemLog(const char* path) : fd_(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
    ~FileSystemLog() override {
        if (fd_ >= 0) ::close(fd_);
    }
    void write(Priority, std::string_view message, const std::vector<Field>&) override {
        std::string line(message);
        line += '\n';
        // One write per line with O_APPEND keeps lines of several threads whole.
        if (fd_ >= 0) (void)!::write(fd_, line.data(), line.size());
    }
    bool carriesFields() const override { return false; }

private:
    int fd_;
};

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<SystemLog>& currentSlot() {
    static std::shared_ptr<SystemLog> slot;
    return slot;
}

}  // namespace

std::shared_ptr<SystemLog> SystemLog::makeDefault() {
    const char* file = std::getenv("TAVLO_SYSTEM_LOG_FILE");
    if (file && *file) return std::make_shared<FileSystemLog>(file);
    return std::make_shared<DefaultSystemLog>();
}

std::shared_ptr<SystemLog> SystemLog::current() {
    std::lock_guard lock(currentMutex());
    auto& slot = currentSlot();
    if (!slot) slot = makeDefault();
    return slot;
}

std::shared_ptr<SystemLog> SystemLog::setCurrent(std::shared_ptr<SystemLog> log) {
    std::lock_guard lock(currentMutex());
    auto& slot = currentSlot();
    auto previous = slot ? slot : makeDefault();
    slot = log ? std::move(log) : makeDefault();
    return previous;
}

void systemLog(std::string_view message, SystemLog::Priority priority) {
    SystemLog::current()->write(priority, message);
}

}  // namespace foundation
