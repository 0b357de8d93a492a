// What the item-read benchmarks share: the host's callback server that takes every document, and
// the two floors an agent read is measured against in the same process and world:
//   ReadFloor      the same work done raw: the folder's message rows (and their attachments) read
//                  straight from the store file with SQLite, the same documents serialised by
//                  pugixml, and an RPC round trip of each document's bytes to the same callback
//   SnapshotFloor  the snapshot a change read starts with: the folder's rows of the three columns
//                  turned into journal entries
// and what a user waits for: HostSessions, nxhost and the agent as two processes over the real
// pipe, timed by the wall clock.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/HostCallback.h"
#include "agent/Interfaces.h"
#include "bench/support/BenchWorld.h"
#include "bench/support/RatioReporter.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "journal/LogItemArray.h"
#include "mapi/MAPIObject.h"
#include "platform/system/ChildProcess.h"
#include "platform/system/Utf.h"

namespace nx::bench {

// The callback server: takes every document and counts it.
struct ReadBenchHost {
    nx::rpc::Server server;
    std::thread thread;
    std::atomic<long> documents{0};
    bool Start() {
        std::vector<nx::rpc::Handler> handlers(nx::agent::kCallbackProcCount);
        handlers[nx::agent::kNotifyShutdown] = [](nx::rpc::Args&) {};
        handlers[nx::agent::kDeliverContact] = [this](nx::rpc::Args& a) {
            benchmark::DoNotOptimize(a.Text(0).data());
            ++documents;
        };
        handlers[nx::agent::kDeliverCalendar] = handlers[nx::agent::kDeliverContact];
        if (server.UseProtseqEp(nx::agent::kProtseq, nx::agent::kMaxCalls, nx::agent::kCallbackEndpoint) !=
                0 ||
            server.RegisterIf(nx::agent::CallbackInterface(), std::move(handlers)) != 0)
            return false;
        thread = std::thread([this] { server.Listen(1, nx::agent::kMaxCalls); });
        return true;
    }
};

// The floor of a full read of the store's largest folder whose documents are `documents`, sent
// with callback procedure `procedure`.
inline void ReadFloor(benchmark::State& state, const std::filesystem::path& dataHome,
                      const std::vector<std::string>& documents, uint32_t procedure) {
    std::filesystem::path storeFile;
    for (const auto& e : std::filesystem::directory_iterator(dataHome / "nxmapi/stores"))
        storeFile = e.path();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(storeFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return state.SkipWithError("store file not opened");
    sqlite3_stmt* messages = nullptr;
    sqlite3_stmt* attachments = nullptr;
    sqlite3_prepare_v2(
        db,
        "SELECT id, props FROM objects WHERE kind = 2 AND parent = (SELECT parent FROM objects "
        "WHERE kind = 2 GROUP BY parent ORDER BY count(*) DESC LIMIT 1)",
        -1, &messages, nullptr);
    sqlite3_prepare_v2(db, "SELECT props FROM objects WHERE kind = 3 AND parent = ?", -1, &attachments,
                       nullptr);
    std::vector<pugi::xml_document> docs(documents.size());
    for (std::size_t i = 0; i < docs.size(); ++i) docs[i].load_string(documents[i].c_str());
    std::shared_ptr<nx::rpc::Binding> binding;
    std::string stringBinding;
    nx::rpc::StringBindingCompose("", nx::agent::kProtseq, "", nx::agent::kCallbackEndpoint, "",
                                  stringBinding);
    nx::rpc::BindingFromStringBinding(stringBinding, binding);
    std::string bytes;
    for (auto _ : state) {
        bytes.clear();
        sqlite3_reset(messages);
        while (sqlite3_step(messages) == SQLITE_ROW) {
            bytes.append(static_cast<const char*>(sqlite3_column_blob(messages, 1)),
                         static_cast<std::size_t>(sqlite3_column_bytes(messages, 1)));
            sqlite3_reset(attachments);
            sqlite3_bind_int64(attachments, 1, sqlite3_column_int64(messages, 0));
            while (sqlite3_step(attachments) == SQLITE_ROW)
                bytes.append(static_cast<const char*>(sqlite3_column_blob(attachments, 0)),
                             static_cast<std::size_t>(sqlite3_column_bytes(attachments, 0)));
        }
        for (auto& doc : docs) {
            std::ostringstream out;
            doc.save(out, "", pugi::format_raw);
            nx::rpc::Args args(nx::agent::CallbackInterface().procedures[procedure]);
            args.Text(0) = nx::sys::Utf8ToUtf16(out.str());
            if (binding->Call(nx::agent::CallbackInterface(), procedure, args) != 0)
                return state.SkipWithError("callback failed");
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    sqlite3_finalize(messages);
    sqlite3_finalize(attachments);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * static_cast<long>(docs.size()));
}

// The floor of a change read that finds nothing: the snapshot of the folder's items of the class.
inline void SnapshotFloor(benchmark::State& state, IMAPIFolder* folder, const char16_t* itemClass,
                          long items) {
    const MapiFunctions& fns = MapiTable();
    const auto zone = NAMESPACE_MAPI::LocalZone();
    for (auto _ : state) {
        ComPtr<IMAPITable> table;
        folder->GetContentsTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, table.put());
        SizedSPropTagArray<3> columns = {
            3, {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_LAST_MODIFICATION_TIME}};
        NAMESPACE_COMMON::EqualsRestriction isItem(PR_MESSAGE_CLASS_W, std::u16string(itemClass));
        RowSetPtr rows(fns.FreeProws);
        fns.HrQueryAllRows(table.get(), columns.get(), isItem.get(), nullptr, 0, rows.put());
        CLogItemArray snapshot;
        NAMESPACE_MAPI::CLogEntry entry;
        for (ULONG i = 0; i < rows.size(); ++i) {
            NAMESPACE_MAPI::FillLogItem(entry, rows[i].lpProps, rows[i].cValues, zone);
            snapshot.Add(nx::sys::Utf8ToUtf16(entry.id), entry.modified.GetValue(),
                         static_cast<int32_t>(entry.modified.GetStatus()));
        }
        benchmark::DoNotOptimize(snapshot.GetSize());
    }
    state.SetItemsProcessed(state.iterations() * items);
}

// What a read benchmark program measures: one item kind, read through CMAPIObject.
struct ReadKind {
    using Object = NAMESPACE_MAPI::CMAPIObject;
    const char* world;          // the temporary world's name
    const char* counter;        // the counter of items each run reports ("contacts")
    const char* countVariable;  // N, the main folder's items (default 10000)
    const char* scaleVariable;  // the scaled sub-folder's factor (default 0: none)
    const char16_t* itemClass;
    uint32_t procedure;  // the callback procedure that delivers a document
    IMAPIFolder* (Object::*folder)() const;
    void (Object::*setSink)(NAMESPACE_MAPI::DocumentSink);
    nx::rpc::RpcStatus (*send)(std::string_view xml);  // the agent's first step of a delivery
    int (Object::*read)(const char* first, const char* anchor);
    std::function<std::string(const std::string& folderId)> selection;  // SetXFolder's text
    int (Object::*select)(const char* text);
    std::function<bool(IMAPIFolder*, int n)> fill;  // n items into the folder
    const char* hostSelect;                         // nxhost's selection call ("SetContactFolder")
    const char* hostRead;                           // nxhost's read call ("ReadContacts")
};

// nxhost and the agent as two processes over the real pipe (their own pipe folder in the world),
// as a person or a test measures a read: the wall time of one nxhost run that starts the agent,
// logs on, selects the default folder, runs the given calls and shuts the agent down. The agent's
// start, logon and shutdown (which waits a second, as the host expects) are in every run, so a
// read's time is a session with the read less an empty session, taken pair by pair.
class HostSessions {
public:
    HostSessions(const std::filesystem::path& root, const ReadKind& kind) : m_root(root), m_kind(kind) {
        std::filesystem::create_directories(m_root / "pipes-2p");
    }

    // Wall seconds of one session running `calls`; < 0 when nxhost or the agent failed.
    double Run(const std::vector<std::string>& calls) const {
        std::vector<std::string> argv = {
            NX_BIN_DIR "/nxhost", "--start", NX_BIN_DIR "/NxAgentOutlook64",          "-e",
            "MAPILogOn",          "-e",      std::string(m_kind.hostSelect) + " \"\""};
        for (const std::string& call : calls) argv.insert(argv.end(), {"-e", call});
        argv.insert(argv.end(), {"-e", "Shutdown"});
        nx::sys::ChildOptions options;
        options.env = {{"NX_PIPE_DIR", (m_root / "pipes-2p").string()}};
        options.out = "/dev/null";
        options.err = (m_root / "nxhost.err").string();
        nx::sys::ChildProcess host;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        if (!host.Start(argv, options, error)) return -1;
        const std::optional<int> code = host.Wait(std::chrono::minutes(10));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        return code == 0 ? took.count() : -1;
    }

    // The read call of this kind's nxhost session under `anchor` ("": a full read).
    std::string ReadCall(const std::string& anchor) const {
        return std::string(m_kind.hostRead) + " \"\" \"" + anchor + "\"";
    }

    // Times `calls` against an empty session, pair by pair: the benchmark's manual time is each
    // pair's difference; the median and the best pair and the empty session are its counters.
    void Measure(benchmark::State& state, const std::vector<std::string>& calls, int items) const {
        std::vector<double> reads, empties;
        for (auto _ : state) {
            const double empty = Run({});
            const double full = Run(calls);
            if (empty < 0 || full < 0) return state.SkipWithError("nxhost session failed (see nxhost.err)");
            reads.push_back(std::max(full - empty, 1e-6));
            empties.push_back(empty);
            state.SetIterationTime(reads.back());
        }
        std::sort(reads.begin(), reads.end());
        std::sort(empties.begin(), empties.end());
        state.counters["read_ms_median"] = reads[reads.size() / 2] * 1e3;
        state.counters["read_ms_best"] = reads.front() * 1e3;
        state.counters["empty_session_ms"] = empties[empties.size() / 2] * 1e3;
        state.counters[m_kind.counter] = items;
    }

private:
    std::filesystem::path m_root;
    const ReadKind& m_kind;
};

// The world of a read benchmark program: N items in the kind's folder, a scaled sub-folder when
// asked for, the host's callback server, and one full read's documents for the floor.
struct ReadWorld {
    const ReadKind& kind;
    std::filesystem::path root;
    NAMESPACE_MAPI::CMAPIObject mapi;
    ReadBenchHost host;
    bool ready = false;
    int items = 0;
    int scaled = 0;
    std::string mainFolderId, scaledFolderId;
    std::vector<std::string> documents;

    explicit ReadWorld(const ReadKind& k) : kind(k) {
        root = MakeStoreWorld(kind.world);
        if (root.empty() || mapi.MAPILogOn(nullptr, "") != 1 || !host.Start()) return;
        nx::agent::BindHostCallback();
        mapi.SetConfig({false, "", "", (root / "work").string()});
        items = EnvInt(kind.countVariable, 10000);
        scaled = items * EnvInt(kind.scaleVariable, 0);
        IMAPIFolder* folder = (mapi.*kind.folder)();
        if (folder == nullptr || !kind.fill(folder, items) || (mainFolderId = FolderIdHex(folder)).empty())
            return;
        if (scaled > 0) {
            ComPtr<IMAPIFolder> big;
            std::u16string name = u"Scaled";
            if (FAILED(folder->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(name.data()), nullptr,
                                            nullptr, MAPI_UNICODE, big.put())) ||
                !kind.fill(big.get(), scaled) || (scaledFolderId = FolderIdHex(big.get())).empty())
                return;
        }
        (mapi.*kind.setSink)([this](std::string_view xml) {
            documents.emplace_back(xml);
            return 0u;
        });
        if (!Select(mainFolderId) || (mapi.*kind.read)("", "") != 0) return;
        // As the agent delivers: in two steps, the next document prepared while the host has one.
        (mapi.*kind.setSink)({kind.send, nx::agent::CollectDelivery});
        ready = documents.size() == static_cast<std::size_t>(items);
    }

    bool Select(const std::string& folderId) {
        return (mapi.*kind.select)(kind.selection(folderId).c_str()) == 0;
    }

    // Reads the folder (a change read under `anchor`, once before the timing, when one is given).
    void Read(benchmark::State& state, const std::string& folderId, int count, const char* anchor) {
        if (!ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
        if (!Select(folderId)) return state.SkipWithError("folder not selected");
        if (*anchor && (mapi.*kind.read)("", anchor) != 0)
            return state.SkipWithError("first change read failed");
        for (auto _ : state)
            if ((mapi.*kind.read)("", anchor) != 0) return state.SkipWithError("read failed");
        state.SetItemsProcessed(state.iterations() * count);
        state.counters[kind.counter] = count;
    }
};

// The body of a read benchmark program's main(): full, change and scaled reads of the kind against
// their floors, run in pairs with the ratio reporter, and the two-process reads. The world is made
// by the first benchmark that runs; its folder is removed when the run ends unless
// NX_BENCH_KEEP_WORLD=1 (the world itself is not destroyed: its callback server still listens
// when the process exits).
inline int RunReadBenchmarks(int argc, char** argv, const ReadKind& kind) {
    static ReadWorld* world = nullptr;
    static const ReadKind* theKind = &kind;
    auto w = []() -> ReadWorld& {
        if (world == nullptr) world = new ReadWorld(*theKind);
        return *world;
    };
    const auto add = [](const char* name, auto body) {
        benchmark::RegisterBenchmark(name, body)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
    };
    add("ChangeRead/agent",
        [w](benchmark::State& state) { w().Read(state, w().mainFolderId, w().items, "bench"); });
    add("ChangeRead/baseline", [w](benchmark::State& state) {
        if (!w().ready || !w().Select(w().mainFolderId)) return state.SkipWithError("world not built");
        SnapshotFloor(state, (w().mapi.*theKind->folder)(), theKind->itemClass, w().items);
    });
    const auto fullRead = [w](benchmark::State& state) { w().Read(state, w().mainFolderId, w().items, ""); };
    add("FullRead/agent", fullRead);
    add("FullRead/baseline", [w](benchmark::State& state) {
        if (!w().ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
        ReadFloor(state, w().root / "data", w().documents, theKind->procedure);
        state.counters[theKind->counter] = static_cast<double>(w().documents.size());
    });
    add("Scaling/agent", [w](benchmark::State& state) {
        static const std::string unset = std::string(theKind->scaleVariable) + " not set";
        if (w().scaled == 0) return state.SkipWithError(unset.c_str());
        w().Read(state, w().scaledFolderId, w().scaled, "");
    });
    add("Scaling/baseline", fullRead);
    // What a user waits for: the same reads through nxhost and the agent as two processes.
    const int wallRuns = EnvInt("NX_BENCH_WALL_RUNS", 3);
    const auto addWall = [wallRuns](const char* name, auto body) {
        benchmark::RegisterBenchmark(name, body)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(wallRuns);
    };
    addWall("TwoProcess/FullRead", [w](benchmark::State& state) {
        if (!w().ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
        const HostSessions sessions(w().root, *theKind);
        sessions.Measure(state, {sessions.ReadCall("")}, w().items);
    });
    addWall("TwoProcess/ChangeRead", [w](benchmark::State& state) {
        if (!w().ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
        const HostSessions sessions(w().root, *theKind);
        // The first change read under a new anchor sends everything; the timed ones find nothing.
        if (sessions.Run({sessions.ReadCall("two-process")}) < 0)
            return state.SkipWithError("first change read failed (see nxhost.err)");
        sessions.Measure(state, {sessions.ReadCall("two-process")}, w().items);
    });
    const int rc = RunWithRatios(argc, argv);
    if (world != nullptr) {
        world->mapi.MAPILogOff();
        // NX_BENCH_KEEP_WORLD=1 keeps it for strace, perf or nxhost runs by hand.
        if (EnvInt("NX_BENCH_KEEP_WORLD", 0) != 0) {
            nx::test::TempWorld::MarkKept(world->root);
            std::printf("world kept: %s\n", world->root.c_str());
            std::fflush(stdout);
            std::_Exit(rc);  // the world's destructor would remove it
        } else {
            std::filesystem::remove_all(world->root);
        }
    }
    return rc;
}

}  // namespace nx::bench
