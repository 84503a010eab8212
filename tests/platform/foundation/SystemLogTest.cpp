#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/foundation/SystemLog.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

using foundation::SystemLog;

TEST(SystemLogTest, AReplacementReceivesTheLinesUntilTheOldOneIsBack) {
    auto before = SystemLog::current();
    {
        testsupport::RecordingSystemLog::Scope recording;
        foundation::systemLog("first");
        SystemLog::current()->write(SystemLog::Priority::Error, "second", {{"LKLOG", "1"}});
        auto entries = recording->entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].message, "first");
        EXPECT_EQ(entries[0].priority, SystemLog::Priority::Warning);
        EXPECT_EQ(entries[1].priority, SystemLog::Priority::Error);
        ASSERT_EQ(entries[1].fields.size(), 1u);
        EXPECT_EQ(entries[1].fields[0].name, "LKLOG");
    }
    EXPECT_EQ(SystemLog::current(), before);
}

// A journal socket of the test's own, bound where the real log is told to send.
class FakeJournalSocket {
public:
    explicit FakeJournalSocket(std::filesystem::path path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~FakeJournalSocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    // The fields of the next datagram, in order, decoded as journald does.
    std::vector<std::pair<std::string, std::string>> receive() {
        std::vector<std::pair<std::string, std::string>> fields;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return fields;
        std::string datagram(65536, '\0');
        ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
        datagram.resize(n > 0 ? size_t(n) : 0);
        for (size_t at = 0; at < datagram.size();) {
            size_t lineEnd = datagram.find('\n', at);
            std::string line = datagram.substr(at, lineEnd - at);
            if (size_t eq = line.find('='); eq != std::string::npos) {
                fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
                at = lineEnd + 1;
                continue;
            }
            uint64_t length = 0;
            for (int i = 0; i < 8; ++i) length |= uint64_t(uint8_t(datagram[lineEnd + 1 + i])) << (8 * i);
            fields.emplace_back(line, datagram.substr(lineEnd + 9, length));
            at = lineEnd + 9 + length + 1;
        }
        return fields;
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(SystemLogTest, TheRealLogSendsEachLineWithItsFieldsToTheJournal) {
    testsupport::TempHome home;
    FakeJournalSocket journal(home.root() / "journal.socket");
    ASSERT_TRUE(journal.bound());
    auto real = SystemLog::makeDefault((home.root() / "journal.socket").string());
    EXPECT_TRUE(real->carriesFields());
    real->write(SystemLog::Priority::Notice, "tavlo system log test\nsecond line", {{"TAVLO_TEST", "1"}});
    using Fields = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(journal.receive(), (Fields{{"PRIORITY", "5"},
                                         {"MESSAGE", "tavlo system log test\nsecond line"},
                                         {"TAVLO_TEST", "1"}}));
    real->write(SystemLog::Priority::Error, "one line", {});
    EXPECT_EQ(journal.receive(), (Fields{{"PRIORITY", "3"}, {"MESSAGE", "one line"}}));
}

TEST(SystemLogTest, WithoutAJournalTheLineGoesToSyslogAndTheCallerGoesOn) {
    testsupport::TempHome home;
    auto real = SystemLog::makeDefault((home.root() / "no-journal.socket").string());
    EXPECT_FALSE(real->carriesFields());
    real->write(SystemLog::Priority::Notice, "tavlo system log test without a journal", {});
}

TEST(SystemLogTest, SettingNullRestoresTheRealLog) {
    auto recording = std::make_shared<testsupport::RecordingSystemLog>();
    auto previous = SystemLog::setCurrent(recording);
    EXPECT_EQ(SystemLog::setCurrent(nullptr), recording);
    EXPECT_NE(SystemLog::current(), recording);
    SystemLog::setCurrent(previous);
}
