// Move-only wrappers over the SQLite C API used by the store files and the profile list, and
// the one place where SQLite result codes become MAPI codes. Every value is bound as a
// parameter; no SQL is ever built from data.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/mapi32/Props.h"

namespace nx::mapi32 {

// The MAPI code for a SQLite result code (primary or extended).
HRESULT MapSqliteError(int rc) noexcept;
[[noreturn]] void ThrowSqlite(sqlite3* db, int rc);

class Stmt;

class Db {
public:
    Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    Db(Db&& o) noexcept;
    ~Db();
    // Opens (create = also creates) the file; sets WAL, foreign keys, a busy timeout.
    void Open(const std::string& path, bool create);
    void Exec(const char* sql);
    sqlite3* get() const noexcept { return m_db; }
    std::int64_t LastInsertId() const noexcept { return sqlite3_last_insert_rowid(m_db); }
    // The statement of `sql` (a string literal: it is keyed by address), prepared at its first
    // use and kept until the connection closes. Preparing costs more than most of the queries
    // themselves. The caller resets it after use (ResetOnExit), so that it holds no read
    // transaction open, and never uses one statement in two places at once.
    Stmt& Cached(const char* sql);

private:
    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, std::unique_ptr<Stmt>> m_cached;
};

class Stmt {
public:
    Stmt(Db& db, const char* sql);
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Stmt(Stmt&& o) noexcept : m_db(o.m_db), m_stmt(o.m_stmt) { o.m_stmt = nullptr; }
    ~Stmt();

    Stmt& Bind(int i, std::int64_t v);
    Stmt& Bind(int i, std::string_view text);  // TEXT
    Stmt& BindBlob(int i, std::string_view bytes);
    Stmt& BindNull(int i);
    // True while a row is available.
    bool Step();
    void Run() {
        while (Step()) {
        }
    }
    void Reset();

    std::int64_t Int(int col) const noexcept { return sqlite3_column_int64(m_stmt, col); }
    bool IsNull(int col) const noexcept { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
    std::string_view Blob(int col) const noexcept;
    std::string Text(int col) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// Resets a statement (its bindings too) when the scope ends.
struct ResetOnExit {
    Stmt& s;
    ~ResetOnExit() { s.Reset(); }
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when destroyed uncommitted.
class Transaction {
public:
    explicit Transaction(Db& db);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();
    void Commit();

private:
    Db& m_db;
    bool m_done = false;
};

}  // namespace nx::mapi32
