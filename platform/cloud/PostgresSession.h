#pragma once
// The PostgreSQL back-end, for devices on several machines: the account kept
// in one PostgreSQL database, reached through libpq. The tables are made on
// first connect under an advisory lock; a database whose tables of our names
// have other columns is refused and left as it is, one of a newer format
// answers 18. A writing transaction holds the account's write lock (the
// embedded store's one writer, so chunks shared between records are never
// removed under a concurrent save) and takes the zone's row with
// SELECT ... FOR UPDATE; reading ones see one snapshot. The server clock is
// clock_timestamp(). A commit that changed records notifies kChannel inside
// its transaction, so only committed changes are heard (PostgresListener).
// Every connection has a connect and statement timeout of kRequestLimit and
// TCP keepalives.
//
// Failures: a server refused or unknown 3; a connection lost mid-request 4
// (the server rolls the transaction back); serialisation failures, deadlocks
// and locks not available 23 after 1 s; too many connections 6 after 5 s; a
// full disk 25. One thread at a time.

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "SqlSession.h"

struct pg_conn;

namespace cloud {

class PostgresSession final : public SqlSession {
public:
    // The notification channel a commit notifies.
    static constexpr const char* kChannel = "tavlo_push";

    // Connects with the libpq keywords or URI of connection (refused as
    // connectionRefusal() says). clock replaces the server clock (tests).
    static Reply<std::unique_ptr<PostgresSession>> open(const std::string& connection,
                                                        std::function<int64_t()> clock = {});
    ~PostgresSession() override;

    // Why a connection setting is not taken, or nothing: it must carry no
    // password (that lives in the libpq password file), and a host that is
    // neither loopback nor a socket folder needs sslmode=verify-full.
    static std::optional<std::string> connectionRefusal(const std::string& connection);
    // "host H database D", the most of a connection setting that is shown or logged.
    static std::string describe(const std::string& connection);
    // A libpq connection with the layer's timeouts and keepalives (the
    // listener's); null with the reason in failure.
    static pg_conn* connect(const std::string& connection, std::string& failure);

    std::string backendName() const override { return "postgresql"; }
    std::string location() const override { return location_; }
    Reply<Done> begin(bool writing) override;
    Reply<Done> commit() override;
    void rollback() override;
    Reply<Done> lockZone(const std::string& zoneName) override;
    Reply<std::vector<SqlRow>> query(std::string_view sql, const std::vector<SqlValue>& parameters) override;
    int64_t changes() override;
    int64_t serverMilliseconds() override;
    void announceCommit() override;

    // The connection itself, for tests.
    pg_conn* handle() const { return conn_; }

private:
    PostgresSession(pg_conn* conn, std::string location, std::function<int64_t()> clock);
    Reply<Done> exec(const char* sql);
    Reply<Done> makeTables();

    pg_conn* conn_;
    std::string location_;
    std::function<int64_t()> clock_;
    // Statements prepared on this connection, by text and parameter kinds.
    std::map<std::string, std::string, std::less<>> prepared_;
    int64_t changes_ = 0;
};

}  // namespace cloud
