// The one SQLite wrapper of the tree: a connection, move-only statements with typed binds and
// columns, a write transaction, and one exception type carrying SQLite's result code and
// message. libmapi32 and libDeltatrack64 both link it (statically) and each turns an Error into
// its own results in one place. Every value is bound as a parameter; no SQL is built from data.
// The header does not include sqlite3.h, so a user of the wrapper sees no SQLite type.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace nx::sqlite {

// A failed SQLite call: the extended result code and SQLite's text for it.
class Error : public std::runtime_error {
public:
    Error(int code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    int Code() const noexcept { return m_code; }
    // The primary code (SQLITE_BUSY, SQLITE_CORRUPT, ...) of an extended one.
    int PrimaryCode() const noexcept { return m_code & 0xFF; }

private:
    int m_code;
};

struct OpenOptions {
    bool create = false;  // a missing file is created (else opening it fails)
    // SQLite's own mutex on the connection; without it the caller serialises every use.
    bool serialized = false;
    // How long a statement waits for another process's lock before failing with SQLITE_BUSY:
    // every wait on another process is bounded.
    int busyTimeoutMs = 5000;
    // Whether the last connection to close folds a WAL back into the database file.
    bool checkpointOnClose = true;
};

class Statement;

class Connection {
public:
    Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& o) noexcept;
    ~Connection();

    // Opens the file at `path` read-write, never through a final symbolic link, with extended
    // result codes and the defensive settings for a file that may come from anywhere (no
    // trusted schema, no writes to the schema tables).
    void Open(const std::string& path, const OpenOptions& options);
    bool IsOpen() const noexcept { return m_db != nullptr; }
    // Runs one or more statements that take no parameters.
    void Exec(const char* sql);
    std::int64_t LastInsertId() const noexcept;
    // The statement of `sql` (a string literal: it is keyed by address), prepared at its first
    // use and kept until the connection closes: preparing costs more than most of the queries
    // themselves. The caller resets it after use (ResetOnExit), so that it holds no read
    // transaction open, and never uses one statement in two places at once.
    Statement& Cached(const char* sql);
    // Folds the WAL back into the database file and empties it, without waiting: while another
    // process reads, the WAL is left as it is. Nothing to report either way.
    void TruncateWal() noexcept;
    // True inside BEGIN ... COMMIT.
    bool InTransaction() const noexcept;

private:
    friend class Statement;
    friend class Transaction;
    void Close() noexcept;

    sqlite3* m_db = nullptr;
    int m_busyTimeoutMs = 0;
    std::unordered_map<const char*, std::unique_ptr<Statement>> m_cached;
};

class Statement {
public:
    Statement(Connection& db, const char* sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& o) noexcept;
    ~Statement();

    // Parameters are numbered from 1. Texts and blobs are copied: the value may go away as
    // soon as the call returns. An empty blob is a zero-length blob, not NULL.
    Statement& Bind(int i, std::int64_t v);
    Statement& BindDouble(int i, double v);
    Statement& BindText(int i, std::string_view utf8);
    Statement& BindBlob(int i, std::string_view bytes);
    // A blob bound without a copy, for a loop that binds many: the bytes must stay as they are
    // until the statement has run (Run, or Step until false) or is bound anew.
    Statement& BindBlobRef(int i, std::string_view bytes);
    Statement& BindNull(int i);

    // Steps once: true while a row is available. A failure resets the statement and throws.
    bool Step();
    // Steps to the end and resets, keeping the bindings (a loop rebinds only what changes).
    void Run();
    // Back to the start, every binding cleared.
    void Reset() noexcept;

    // Columns of the current row, numbered from 0. A blob's bytes are SQLite's, valid until the
    // next step or reset; NULL and a zero-length value are both empty.
    std::int64_t Int(int col) const noexcept;
    double Double(int col) const noexcept;
    bool IsNull(int col) const noexcept;
    std::string_view Blob(int col) const noexcept;
    std::string Text(int col) const;

    // Stepped and not yet run to its end or reset: such a statement holds a read transaction.
    bool Busy() const noexcept;

private:
    Statement& Check(int rc);
    void AssertColumn(int col) const noexcept;

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// Resets a statement (its bindings too) when the scope ends.
struct ResetOnExit {
    Statement& s;
    ~ResetOnExit() { s.Reset(); }
};

// BEGIN IMMEDIATE ... COMMIT, rolled back when destroyed uncommitted. Transactions do not nest.
class Transaction {
public:
    explicit Transaction(Connection& db);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();
    void Commit();

private:
    Connection& m_db;
    bool m_done = false;
};

}  // namespace nx::sqlite
