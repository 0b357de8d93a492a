#include "platform/sqlite/Sqlite.h"

#include <sqlite3.h>

#include <cassert>
#include <cstddef>
#include <utility>

namespace nx::sqlite {
namespace {

[[noreturn]] void Throw(sqlite3* db, int rc) {
    throw Error(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

// Only white space (or nothing) follows the one statement a Statement prepares.
[[maybe_unused]] bool OnlyBlanks(const char* tail) {
    for (; tail && *tail; ++tail)
        if (*tail != ' ' && *tail != '\n' && *tail != '\t' && *tail != '\r') return false;
    return true;
}

}  // namespace

// ---- Connection ----

Connection::Connection() = default;

Connection::Connection(Connection&& o) noexcept
    : m_db(std::exchange(o.m_db, nullptr)),
      m_busyTimeoutMs(o.m_busyTimeoutMs),
      m_cached(std::move(o.m_cached)) {}

Connection::~Connection() {
    Close();
}

void Connection::Close() noexcept {
    m_cached.clear();  // finalized before the connection closes
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

void Connection::Open(const std::string& path, const OpenOptions& options) {
    assert(!m_db && "a connection is opened once");
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE;
    flags |= options.serialized ? SQLITE_OPEN_FULLMUTEX : SQLITE_OPEN_NOMUTEX;
    if (options.create) flags |= SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const Error error(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);  // a handle is made even when the open fails
        throw error;
    }
    m_db = db;
    m_busyTimeoutMs = options.busyTimeoutMs;
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
    // Defensive settings for files that may come from anywhere.
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    if (!options.checkpointOnClose) sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

void Connection::Exec(const char* sql) {
    assert(m_db);
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Throw(m_db, rc);
}

std::int64_t Connection::LastInsertId() const noexcept {
    assert(m_db);
    return sqlite3_last_insert_rowid(m_db);
}

Statement& Connection::Cached(const char* sql) {
    auto& slot = m_cached[sql];
    if (!slot) slot = std::make_unique<Statement>(*this, sql);
    // Left stepped by its last user, it would still hold that user's read transaction.
    assert(!slot->Busy() && "a cached statement is reset before it is used again");
    return *slot;
}

void Connection::TruncateWal() noexcept {
    assert(m_db);
    sqlite3_busy_timeout(m_db, 0);
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
}

bool Connection::InTransaction() const noexcept {
    return m_db && !sqlite3_get_autocommit(m_db);
}

// ---- Statement ----

Statement::Statement(Connection& db, const char* sql) : m_db(db.m_db) {
    assert(m_db && "a statement is prepared on an open connection");
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, sql, -1, &m_stmt, &tail);
    if (rc != SQLITE_OK) Throw(m_db, rc);
    assert(OnlyBlanks(tail) && "a statement is one SQL statement (Exec runs several)");
}

Statement::Statement(Statement&& o) noexcept : m_db(o.m_db), m_stmt(std::exchange(o.m_stmt, nullptr)) {}

Statement::~Statement() {
    sqlite3_finalize(m_stmt);  // a no-op for a moved-from statement
}

Statement& Statement::Check(int rc) {
    if (rc != SQLITE_OK) Throw(m_db, rc);
    return *this;
}

Statement& Statement::Bind(int i, std::int64_t v) {
    assert(!Busy() && "bound only before the first step or after a reset");
    return Check(sqlite3_bind_int64(m_stmt, i, v));
}

Statement& Statement::BindDouble(int i, double v) {
    assert(!Busy() && "bound only before the first step or after a reset");
    return Check(sqlite3_bind_double(m_stmt, i, v));
}

Statement& Statement::BindText(int i, std::string_view utf8) {
    assert(!Busy() && "bound only before the first step or after a reset");
    // A null pointer (an empty view's) would bind NULL rather than an empty text.
    return Check(sqlite3_bind_text64(m_stmt, i, utf8.empty() ? "" : utf8.data(), utf8.size(),
                                     SQLITE_TRANSIENT, SQLITE_UTF8));
}

Statement& Statement::BindBlob(int i, std::string_view bytes) {
    assert(!Busy() && "bound only before the first step or after a reset");
    // As for a text: an empty blob, not NULL.
    return Check(
        sqlite3_bind_blob64(m_stmt, i, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_TRANSIENT));
}

Statement& Statement::BindBlobRef(int i, std::string_view bytes) {
    assert(!Busy() && "bound only before the first step or after a reset");
    return Check(
        sqlite3_bind_blob64(m_stmt, i, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_STATIC));
}

Statement& Statement::BindNull(int i) {
    assert(!Busy() && "bound only before the first step or after a reset");
    return Check(sqlite3_bind_null(m_stmt, i));
}

bool Statement::Step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const Error error(rc, sqlite3_errmsg(m_db));  // taken before the reset
    sqlite3_reset(m_stmt);
    throw error;
}

void Statement::Run() {
    while (Step()) {
    }
    sqlite3_reset(m_stmt);
}

void Statement::Reset() noexcept {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

bool Statement::Busy() const noexcept {
    return sqlite3_stmt_busy(m_stmt) != 0;
}

void Statement::AssertColumn([[maybe_unused]] int col) const noexcept {
    // sqlite3_data_count is 0 unless a row is available, so this also asserts a current row.
    assert(col >= 0 && col < sqlite3_data_count(m_stmt) && "a column of the current row");
}

std::int64_t Statement::Int(int col) const noexcept {
    AssertColumn(col);
    return sqlite3_column_int64(m_stmt, col);
}

double Statement::Double(int col) const noexcept {
    AssertColumn(col);
    return sqlite3_column_double(m_stmt, col);
}

bool Statement::IsNull(int col) const noexcept {
    AssertColumn(col);
    return sqlite3_column_type(m_stmt, col) == SQLITE_NULL;
}

std::string_view Statement::Blob(int col) const noexcept {
    AssertColumn(col);
    const void* p = sqlite3_column_blob(m_stmt, col);
    const int n = sqlite3_column_bytes(m_stmt, col);  // after the pointer, as SQLite asks
    if (!p || n <= 0) return {};
    return {static_cast<const char*>(p), static_cast<std::size_t>(n)};
}

std::string Statement::Text(int col) const {
    AssertColumn(col);
    const unsigned char* p = sqlite3_column_text(m_stmt, col);
    const int n = sqlite3_column_bytes(m_stmt, col);
    if (!p || n <= 0) return {};
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
}

// ---- Transaction ----

Transaction::Transaction(Connection& db) : m_db(db) {
    assert(!m_db.InTransaction() && "transactions do not nest");
    m_db.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!m_done && m_db.InTransaction()) sqlite3_exec(m_db.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    assert(!m_done && "a transaction commits once");
    m_db.Exec("COMMIT");
    m_done = true;
}

}  // namespace nx::sqlite
