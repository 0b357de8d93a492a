// What the item-read benchmarks share: the host's callback server that takes every document, and
// the two floors an agent read is measured against in the same process and world:
//   ReadFloor      the same work done raw: the folder's message rows (and their attachments) read
//                  straight from the store file with SQLite, the same documents serialised by
//                  pugixml, and an RPC round trip of each document's bytes to the same callback
//   SnapshotFloor  the snapshot a change read starts with: the folder's rows of the three columns
//                  turned into journal entries
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/HostCallback.h"
#include "agent/Interfaces.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "journal/LogItemArray.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace nx::bench {

inline int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

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

}  // namespace nx::bench
