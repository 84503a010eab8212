#pragma once
// The embedded back-end: the account kept in one SQLite file, "cloud.sqlite",
// in a folder (0700, files 0600) that every Tavlo process of the machine
// opens, each as its own device. WAL lets readers go on beside the one
// writer; a writer waits up to kBusyTimeout for another, then answers 23.
// The server clock is the machine's real-time clock read by the raw system
// call, so a process under a shifted clock (libfaketime) leaves it alone.
// After a commit the writer rewrites the file "push" in the folder; devices
// watch it (PushChannel). One machine only: WAL needs one host, so a network
// or file-synced folder is not supported. One thread at a time.

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "SqlSession.h"

namespace cloud {

class SQLiteSession final : public SqlSession {
public:
    static constexpr const char* kFileName = "cloud.sqlite";
    static constexpr const char* kPushFileName = "push";
    static constexpr int kBusyTimeoutMilliseconds = 5000;

    // Opens (making when missing) the store in folder. A folder that cannot
    // be read, or a file that is not a store, answers 3 naming the path and is
    // left as it is; a store of a newer format answers 18. clock replaces the
    // server clock (tests).
    static Reply<std::unique_ptr<SQLiteSession>> open(const std::filesystem::path& folder,
                                                      std::function<int64_t()> clock = {});
    ~SQLiteSession() override;

    // The machine's real-time clock in milliseconds, by the raw system call.
    static int64_t realTimeMilliseconds();

    std::string backendName() const override { return "embedded"; }
    std::string location() const override { return folder_.string(); }
    Reply<Done> begin(bool writing) override;
    Reply<Done> commit() override;
    void rollback() override;
    Reply<Done> lockZone(const std::string& zoneName) override;
    Reply<std::vector<SqlRow>> query(std::string_view sql, const std::vector<SqlValue>& parameters) override;
    int64_t changes() override;
    int64_t serverMilliseconds() override;
    void announceCommit() override;

    // The connection itself, for tests that alter the store by hand.
    sqlite3* handle() const { return db_; }

private:
    SQLiteSession(std::filesystem::path folder, sqlite3* db, std::function<int64_t()> clock);
    Error failure(int code) const;
    Reply<Done> exec(const char* sql);
    void writePushFile();
    sqlite3_stmt* statement(std::string_view sql);

    std::filesystem::path folder_;
    sqlite3* db_;
    std::function<int64_t()> clock_;
    std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
    double deadline_ = 0;
    // The open transaction changed records: its commit rewrites "push".
    bool announce_ = false;
};

}  // namespace cloud
