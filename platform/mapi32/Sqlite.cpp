#include "platform/mapi32/Sqlite.h"

namespace nx::mapi32 {

HRESULT MapSqliteError(int rc) noexcept {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return S_OK;
        case SQLITE_NOMEM:
            return MAPI_E_NOT_ENOUGH_MEMORY;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return MAPI_E_BUSY;
        case SQLITE_FULL:
            return MAPI_E_NOT_ENOUGH_DISK;
        case SQLITE_IOERR:
            return MAPI_E_DISK_ERROR;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
            return MAPI_E_CORRUPT_STORE;
        case SQLITE_CANTOPEN:
            return MAPI_E_NOT_FOUND;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return MAPI_E_NO_ACCESS;
        case SQLITE_CONSTRAINT:
            return MAPI_E_COLLISION;
        case SQLITE_TOOBIG:
            return MAPI_E_TOO_BIG;
        default:
            return MAPI_E_CALL_FAILED;
    }
}

void ThrowSqlite(sqlite3* db, int rc) {
    throw MapiError(MapSqliteError(rc), db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

Db::Db() = default;

Db::Db(Db&& o) noexcept : m_db(o.m_db), m_cached(std::move(o.m_cached)) {
    o.m_db = nullptr;
}

Db::~Db() {
    m_cached.clear();  // finalized before the connection closes
    if (m_db) sqlite3_close_v2(m_db);
}

Stmt& Db::Cached(const char* sql) {
    auto& slot = m_cached[sql];
    if (!slot) slot = std::make_unique<Stmt>(*this, sql);
    return *slot;
}

void Db::Open(const std::string& path, bool create) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (create) flags |= SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (db) sqlite3_close_v2(db);
        ThrowSqlite(nullptr, rc);
    }
    m_db = db;
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 10000);
    // Defensive settings for files that may come from anywhere.
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    Exec("PRAGMA foreign_keys=ON");
}

void Db::Exec(const char* sql) {
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(m_db, rc);
}

Stmt::Stmt(Db& db, const char* sql) : m_db(db.get()) {
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &m_stmt, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(m_db, rc);
}

Stmt::~Stmt() {
    if (m_stmt) sqlite3_finalize(m_stmt);
}

Stmt& Stmt::Bind(int i, std::int64_t v) {
    int rc = sqlite3_bind_int64(m_stmt, i, v);
    if (rc != SQLITE_OK) ThrowSqlite(m_db, rc);
    return *this;
}

Stmt& Stmt::Bind(int i, std::string_view text) {
    int rc = sqlite3_bind_text64(m_stmt, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) ThrowSqlite(m_db, rc);
    return *this;
}

Stmt& Stmt::BindBlob(int i, std::string_view bytes) {
    int rc =
        sqlite3_bind_blob64(m_stmt, i, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) ThrowSqlite(m_db, rc);
    return *this;
}

Stmt& Stmt::BindNull(int i) {
    int rc = sqlite3_bind_null(m_stmt, i);
    if (rc != SQLITE_OK) ThrowSqlite(m_db, rc);
    return *this;
}

bool Stmt::Step() {
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(m_stmt);
    ThrowSqlite(m_db, rc);
}

void Stmt::Reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

std::string_view Stmt::Blob(int col) const noexcept {
    const void* p = sqlite3_column_blob(m_stmt, col);
    int n = sqlite3_column_bytes(m_stmt, col);
    if (!p || n <= 0) return {};
    return {static_cast<const char*>(p), static_cast<std::size_t>(n)};
}

std::string Stmt::Text(int col) const {
    const unsigned char* p = sqlite3_column_text(m_stmt, col);
    int n = sqlite3_column_bytes(m_stmt, col);
    if (!p || n <= 0) return {};
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
}

Transaction::Transaction(Db& db) : m_db(db) {
    m_db.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!m_done) sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    m_db.Exec("COMMIT");
    m_done = true;
}

}  // namespace nx::mapi32
