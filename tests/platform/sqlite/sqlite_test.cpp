// The SQLite wrapper both libmapi32 and the change journal stand on: values survive exactly,
// failures carry SQLite's code, transactions roll back, statements keep or clear their
// bindings as documented, and the invariants it asserts.
#include "platform/sqlite/Sqlite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>

#include "tests/platform/system/ScratchDir.h"

namespace fs = std::filesystem;

namespace nx::sqlite {
namespace {

class SqliteTest : public nx::test::ScratchDir {
protected:
    std::string Path(const char* name = "t.db") const { return (m_dir / name).string(); }
    Connection Open(const char* name = "t.db", int busyTimeoutMs = 0) const {
        Connection db;
        OpenOptions o;
        o.create = true;
        o.busyTimeoutMs = busyTimeoutMs;
        db.Open(Path(name), o);
        return db;
    }
    static std::int64_t Count(Connection& db, const char* table) {
        Statement s(db, (std::string("SELECT COUNT(*) FROM ") + table).c_str());
        return s.Step() ? s.Int(0) : -1;
    }
};

TEST_F(SqliteTest, ValuesComeBackExactly) {
    Connection db = Open();
    db.Exec("CREATE TABLE v(x)");
    using namespace std::string_view_literals;
    struct Case {
        const char* what;
        void (*bind)(Statement&);
        int type;  // SQLite's storage class of the stored value
        std::optional<std::int64_t> integer;
        std::string_view bytes;  // Blob() of the value
    } cases[] = {
        {"largest integer", [](Statement& s) { s.Bind(1, std::numeric_limits<std::int64_t>::max()); },
         SQLITE_INTEGER, std::numeric_limits<std::int64_t>::max(), "9223372036854775807"sv},
        {"smallest integer", [](Statement& s) { s.Bind(1, std::numeric_limits<std::int64_t>::min()); },
         SQLITE_INTEGER, std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"sv},
        {"text with a zero byte and UTF-8", [](Statement& s) { s.BindText(1, "a\0\xC3\xA9"sv); }, SQLITE_TEXT,
         std::nullopt, "a\0\xC3\xA9"sv},
        {"blob of zero bytes", [](Statement& s) { s.BindBlob(1, "\0\0\0"sv); }, SQLITE_BLOB, std::nullopt,
         "\0\0\0"sv},
        {"empty blob, not NULL", [](Statement& s) { s.BindBlob(1, {}); }, SQLITE_BLOB, std::nullopt, ""sv},
        {"blob bound without a copy", [](Statement& s) { s.BindBlobRef(1, "\x01\0\x02"sv); }, SQLITE_BLOB,
         std::nullopt, "\x01\0\x02"sv},
        {"empty blob bound without a copy", [](Statement& s) { s.BindBlobRef(1, {}); }, SQLITE_BLOB,
         std::nullopt, ""sv},
        {"empty text, not NULL", [](Statement& s) { s.BindText(1, {}); }, SQLITE_TEXT, std::nullopt, ""sv},
        {"NULL", [](Statement& s) { s.BindNull(1); }, SQLITE_NULL, 0, ""sv},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        db.Exec("DELETE FROM v");
        Statement put(db, "INSERT INTO v VALUES(?1)");
        c.bind(put);
        put.Run();
        Statement get(db, "SELECT x, typeof(x) = ?1 FROM v");
        get.BindText(1, c.type == SQLITE_INTEGER ? "integer"
                        : c.type == SQLITE_TEXT  ? "text"
                        : c.type == SQLITE_BLOB  ? "blob"
                                                 : "null");
        ASSERT_TRUE(get.Step());
        EXPECT_EQ(get.Int(1), 1) << "stored as another type";
        EXPECT_EQ(get.IsNull(0), c.type == SQLITE_NULL);
        EXPECT_EQ(get.Blob(0), c.bytes);
        if (c.type == SQLITE_TEXT) {
            EXPECT_EQ(get.Text(0), std::string(c.bytes));
        }
        if (c.integer) {
            EXPECT_EQ(get.Int(0), *c.integer);
        }
        EXPECT_FALSE(get.Step());
    }
    Statement d(db, "SELECT ?1");
    d.BindDouble(1, -0.125);
    ASSERT_TRUE(d.Step());
    EXPECT_EQ(d.Double(0), -0.125);
}

TEST_F(SqliteTest, FailuresCarrySqlitesCode) {
    std::ofstream(m_dir / "noise.db") << std::string(4096, 'Z');
    fs::create_symlink(m_dir / "t.db", m_dir / "link.db");
    struct Case {
        const char* what;
        std::function<void()> run;
        int code;
    } cases[] = {
        {"a missing file, not created",
         [&] {
             Connection db;
             db.Open(Path("missing.db"), OpenOptions{});
         },
         SQLITE_CANTOPEN},
        {"a symbolic link", [&] { Open("link.db"); }, SQLITE_CANTOPEN_SYMLINK},
        {"a file that is not a database", [&] { Open("noise.db").Exec("PRAGMA user_version"); },
         SQLITE_NOTADB},
        {"bad SQL",
         [&] {
             Connection db = Open();
             Statement(db, "SELEKT 1");
         },
         SQLITE_ERROR},
        {"a duplicate key",
         [&] {
             Connection db = Open();
             db.Exec("CREATE TABLE u(k UNIQUE); INSERT INTO u VALUES(1)");
             Statement(db, "INSERT INTO u VALUES(?1)").Bind(1, 1).Run();
         },
         SQLITE_CONSTRAINT_UNIQUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            c.run();
            ADD_FAILURE() << "no failure";
        } catch (const Error& e) {
            EXPECT_EQ(e.Code(), c.code) << e.what();
            EXPECT_EQ(e.PrimaryCode(), c.code & 0xFF);
            EXPECT_STRNE(e.what(), "");
        }
        fs::remove(m_dir / "t.db");
    }
}

TEST_F(SqliteTest, ATransactionLeftUncommittedIsRolledBack) {
    Connection db = Open();
    db.Exec("CREATE TABLE t(x)");
    {
        Transaction tx(db);
        db.Exec("INSERT INTO t VALUES(1)");
        EXPECT_TRUE(db.InTransaction());
    }
    EXPECT_FALSE(db.InTransaction());
    EXPECT_EQ(Count(db, "t"), 0);
    {
        Transaction tx(db);
        db.Exec("INSERT INTO t VALUES(2)");
        tx.Commit();
    }
    EXPECT_EQ(Count(db, "t"), 1);
}

TEST_F(SqliteTest, AWriterWaitsForAnotherConnectionOnlyAsLongAsItsBound) {
    Connection first = Open("t.db", 0);
    first.Exec("PRAGMA journal_mode=WAL; CREATE TABLE t(x)");
    Transaction holding(first);
    Connection second = Open("t.db", 0);
    try {
        Transaction blocked(second);
        ADD_FAILURE() << "two writers at once";
    } catch (const Error& e) {
        EXPECT_EQ(e.PrimaryCode(), SQLITE_BUSY);
    }
    EXPECT_FALSE(second.InTransaction());
}

TEST_F(SqliteTest, RunKeepsBindingsAndResetClearsThem) {
    Connection db = Open();
    db.Exec("CREATE TABLE t(a, b)");
    Statement add(db, "INSERT INTO t VALUES(?1, ?2)");
    add.Bind(1, 7);
    for (int b = 0; b < 3; ++b) add.Bind(2, b).Run();
    add.Reset();
    add.Bind(2, 9).Run();
    Statement s(db, "SELECT COUNT(*), SUM(a = 7), SUM(a IS NULL) FROM t");
    ASSERT_TRUE(s.Step());
    EXPECT_EQ(s.Int(0), 4);
    EXPECT_EQ(s.Int(1), 3);
    EXPECT_EQ(s.Int(2), 1);
}

TEST_F(SqliteTest, ACachedStatementIsPreparedOnceAndSurvivesAMove) {
    Connection db = Open();
    db.Exec("CREATE TABLE t(x INTEGER PRIMARY KEY)");
    static const char* const kInsert = "INSERT INTO t(x) VALUES(?1)";
    Statement* first = &db.Cached(kInsert);
    Connection moved(std::move(db));
    for (int i = 1; i <= 3; ++i) {
        Statement& s = moved.Cached(kInsert);
        EXPECT_EQ(&s, first);
        ResetOnExit r{s};
        s.Bind(1, i * 10).Run();
        EXPECT_EQ(moved.LastInsertId(), i * 10);
    }
    EXPECT_FALSE(db.IsOpen());
}

TEST_F(SqliteTest, TruncateWalEmptiesTheWal) {
    Connection db = Open();
    db.Exec("PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(zeroblob(100000))");
    ASSERT_GT(fs::file_size(Path("t.db-wal")), 0u);
    db.TruncateWal();
    EXPECT_EQ(fs::file_size(Path("t.db-wal")), 0u);
    EXPECT_EQ(Count(db, "t"), 1);
}

#ifndef NDEBUG
TEST_F(SqliteTest, InvariantsAreAsserted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static const char* const kTwoRows = "SELECT 1 UNION ALL SELECT 2";  // one literal: Cached keys by address
    struct Case {
        void (*misuse)(Connection&);
        const char* says;  // the assert's own words
    } cases[] = {
        {[](Connection& db) {
             Statement s(db, "SELECT 1");
             s.Step();
             s.Int(1);
         },
         "a column of the current row"},
        {[](Connection& db) { Statement(db, "SELECT 1").Int(0); }, "a column of the current row"},
        {[](Connection& db) {
             Transaction outer(db);
             Transaction inner(db);
         },
         "transactions do not nest"},
        {[](Connection& db) {
             db.Cached(kTwoRows).Step();
             db.Cached(kTwoRows);
         },
         "reset before it is used again"},
        {[](Connection& db) {
             Statement s(db, "SELECT ?1 UNION ALL SELECT 2");
             s.Step();
             s.Bind(1, 1);
         },
         "bound only before the first step"},
        {[](Connection& db) { Statement(db, "SELECT 1; SELECT 2"); }, "one SQL statement"},
    };
    for (const Case& c : cases) {
        EXPECT_DEATH(
            {
                Connection db = Open();
                c.misuse(db);
            },
            c.says);
    }
}
#endif

}  // namespace
}  // namespace nx::sqlite
