#include "platform/foundation/SystemLog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace foundation {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// journald's native protocol: one datagram per line, each field "NAME=value\n",
// or, for a value holding a newline, "NAME\n", its length as 64-bit little
// endian, the value and "\n".
void appendField(std::string& datagram, std::string_view name, std::string_view value) {
    datagram += name;
    if (value.find('\n') == std::string_view::npos) {
        datagram += '=';
        datagram += value;
    } else {
        datagram += '\n';
        uint64_t length = value.size();
        for (int i = 0; i < 8; ++i) datagram += static_cast<char>((length >> (8 * i)) & 0xff);
        datagram += value;
    }
    datagram += '\n';
}

class DefaultSystemLog final : public SystemLog {
public:
    explicit DefaultSystemLog(std::string journalSocket) : journalSocket_(std::move(journalSocket)) {}

    void write(Priority priority, std::string_view message, const std::vector<Field>& fields) override {
        if (sendToJournal(priority, message, fields)) return;
        sendToSyslog(priority, message);
    }

    bool carriesFields() const override { return ::access(journalSocket_.c_str(), W_OK) == 0; }

private:
    // False when journald does not take the line (no socket, or a line too long
    // for one datagram): syslog(3) gets it instead.
    bool sendToJournal(Priority priority, std::string_view message, const std::vector<Field>& fields) const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (journalSocket_.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, journalSocket_.data(), journalSocket_.size());
        std::string datagram;
        appendField(datagram, "PRIORITY", std::to_string(static_cast<int>(priority)));
        appendField(datagram, "MESSAGE", message);
        for (const auto& field : fields) appendField(datagram, field.name, field.value);
        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::close(fd);
        return sent == static_cast<ssize_t>(datagram.size());
    }

    static void sendToSyslog(Priority priority, std::string_view message) {
        static std::once_flag opened;
        std::call_once(opened, [] { openlog(nullptr, LOG_PID, LOG_USER); });
        syslog(static_cast<int>(priority), "%.*s", static_cast<int>(message.size()), message.data());
    }

    const std::string journalSocket_;
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

std::shared_ptr<SystemLog> SystemLog::makeDefault(std::string journalSocket) {
    const char* file = std::getenv("TAVLO_SYSTEM_LOG_FILE");
    if (file && *file) return std::make_shared<FileSystemLog>(file);
    return std::make_shared<DefaultSystemLog>(journalSocket.empty() ? kJournalSocket : std::move(journalSocket));
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
