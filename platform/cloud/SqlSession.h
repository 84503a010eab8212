#pragma once
// The seam between the server rules (ZoneServer) and a database that keeps
// the account: plain SQL with "?" parameters, transactions, the zone lock, the
// server clock and the push of a commit. A back-end makes its tables and
// answers its failures as cloud errors: busy past its wait 23 with a
// retry-after, a store it cannot reach 3, one lost mid-request 4. One thread
// at a time; each device of a process has its own session.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Reply.h"

namespace cloud {

struct SqlBlob {
    std::string bytes;
};
using SqlValue = std::variant<std::monostate, int64_t, double, std::string, SqlBlob>;
using SqlRow = std::vector<SqlValue>;

class SqlSession {
public:
    // Every request ends within this, or fails with 4.
    static constexpr double kRequestLimit = 30.0;

    virtual ~SqlSession() = default;

    // "embedded" or "postgresql", and where the store is (a folder, or a host
    // and database), for status lines and errors.
    virtual std::string backendName() const = 0;
    virtual std::string location() const = 0;

    // A transaction: a writing one holds other writers off until it ends; a
    // reading one sees one consistent state.
    virtual Reply<Done> begin(bool writing) = 0;
    virtual Reply<Done> commit() = 0;
    virtual void rollback() = 0;
    // Inside a writing transaction: waits for and takes the zone's lock, so
    // that numbers taken afterwards follow commit order.
    virtual Reply<Done> lockZone(const std::string& zoneName) = 0;

    virtual Reply<std::vector<SqlRow>> query(std::string_view sql, const std::vector<SqlValue>& parameters) = 0;
    // Rows changed by the last statement.
    virtual int64_t changes() = 0;

    // The server clock, in milliseconds since 1970.
    virtual int64_t serverMilliseconds() = 0;
    // Inside a writing transaction that changed records: other devices are to
    // hear of it once it commits, and never when it rolls back.
    virtual void announceCommit() = 0;
};

// Reading a column: the value, or the fallback when the column holds another kind.
int64_t sqlInteger(const SqlValue& value, int64_t fallback = 0);
double sqlReal(const SqlValue& value, double fallback = 0);
std::string sqlText(const SqlValue& value);

}  // namespace cloud
