// libmapi32's side of the SQLite wrapper (platform/sqlite): how the runtime opens its files, and
// the one place where a SQLite result code becomes a MAPI code.
#pragma once

#include <string>

#include "platform/mapi/MapiTypes.h"
#include "platform/sqlite/Sqlite.h"

namespace nx::mapi32 {

using nx::sqlite::Connection;
using nx::sqlite::ResetOnExit;
using nx::sqlite::Statement;
using nx::sqlite::Transaction;

// Opens a store file or the profile list (create = also creates it): SQLite's own mutex (the
// profile list has no other), a 10 s bound on waits for another process, foreign keys on.
void OpenDatabase(Connection& db, const std::string& path, bool create);

// The MAPI code for a SQLite result code (primary or extended); Guarded (Objects.h) returns it
// for every nx::sqlite::Error that leaves a MAPI method.
HRESULT MapSqliteError(int code) noexcept;

}  // namespace nx::mapi32
