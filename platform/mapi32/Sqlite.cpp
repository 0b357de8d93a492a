#include "platform/mapi32/Sqlite.h"

#include <sqlite3.h>

#include "platform/mapi/MapiCodes.h"

namespace nx::mapi32 {

void OpenDatabase(Connection& db, const std::string& path, bool create) {
    nx::sqlite::OpenOptions options;
    options.create = create;
    options.serialized = true;
    options.busyTimeoutMs = 10000;
    db.Open(path, options);
    db.Exec("PRAGMA foreign_keys=ON");
}

HRESULT MapSqliteError(int code) noexcept {
    switch (code & 0xFF) {
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

}  // namespace nx::mapi32
