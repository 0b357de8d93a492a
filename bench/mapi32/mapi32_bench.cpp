// libmapi32 throughput, each figure also given as a ratio against a raw SQLite query of the same
// data in the same run ("x_raw_sqlite"):
//   - HrQueryAllRows of a contents table of 10 000 contacts with the agent's 47 contact columns
//     and its class restriction (per-row cost in "us_per_row"),
//   - OpenEntry + GetProps(47 columns) of one contact.
// The baseline reads the same rows' stored bytes straight from the store file, in turns with the
// measured call. Figures are medians of the CPU time of the benchmark thread (counters
// us_per_row, raw_sqlite_*, x_raw_sqlite).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "contacts/ContactXml.h"
#include "platform/mapi/Mapi.h"
#include "platform/mapi32/Admin.h"

namespace {

constexpr int kContacts = 10000;

// The agent's 47 contact columns.
const std::span<const ULONG> kContactColumns = NAMESPACE_MAPI::ContactColumns();

struct World {
    MapiFunctions fn;
    ComPtr<IMAPISession> session;
    ComPtr<IMsgStore> store;
    ComPtr<IMAPIFolder> contacts;
    std::string folderKeyHex;
    std::string oneMessage;  // entry id
    std::string storePath;
    sqlite3* raw = nullptr;
    std::int64_t folderKey = 0;
    std::int64_t messageKey = 0;
    SizedSPropTagArray<47> columns;
    std::string dir;  // the world's folder: XDG_DATA_HOME, the store in it (about 45 MB)
    bool ok = false;

    World() {
        columns.cValues = 47;
        std::copy(std::begin(kContactColumns), std::end(kContactColumns), columns.aulPropTag);
        dir = (std::filesystem::temp_directory_path() / "nxmapi-bench-XXXXXX").string();
        if (!mkdtemp(dir.data())) {
            dir.clear();
            return;
        }
        setenv("XDG_DATA_HOME", dir.c_str(), 1);
        void* lib = dlopen(NX_BIN_DIR "/libmapi32.so", RTLD_NOW);
        if (!lib) return;
        if (BindMapiEntryPoints(fn, [lib](const char* name) { return dlsym(lib, name); })) return;
        auto init = reinterpret_cast<decltype(&NxMapiAdminInitDefault)>(dlsym(lib, "NxMapiAdminInitDefault"));
        auto list =
            reinterpret_cast<decltype(&NxMapiAdminListProfiles)>(dlsym(lib, "NxMapiAdminListProfiles"));
        auto freeList =
            reinterpret_cast<decltype(&NxMapiAdminFreeProfileList)>(dlsym(lib, "NxMapiAdminFreeProfileList"));
        if (!init || !list || !freeList || init() != S_OK) return;
        NxMapiProfileList* profiles = nullptr;
        if (list(&profiles) != S_OK) return;
        storePath = profiles->profiles[0].stores[0].path;
        freeList(profiles);
        fn.MAPIInitialize(nullptr);
        if (fn.MAPILogonEx(0, nullptr, nullptr, 0x80100072, session.put()) != S_OK) return;
        ComPtr<IMAPITable> stores;
        session->GetMsgStoresTable(0, stores.put());
        SizedSPropTagArray<1> eidCol = {1, {PR_ENTRYID}};
        RowSetPtr rows(fn.FreeProws);
        if (fn.HrQueryAllRows(stores.get(), eidCol.get(), nullptr, nullptr, 0, rows.put()) != S_OK) return;
        const SBinary& sid = rows[0].lpProps[0].Value.bin;
        if (session->OpenMsgStore(0, sid.cb, reinterpret_cast<LPENTRYID>(sid.lpb), nullptr, 0x19,
                                  store.put()) != S_OK)
            return;
        ComPtr<IMAPIFolder> root;
        ULONG type;
        store->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &type, root.put_unknown());
        MapiBuffer<SPropValue> cid(fn.MAPIFreeBuffer);
        if (fn.HrGetOneProp(root.get(), PR_IPM_CONTACT_ENTRYID, cid.put()) != S_OK) return;
        store->OpenEntry(cid->Value.bin.cb, reinterpret_cast<LPENTRYID>(cid->Value.bin.lpb), nullptr,
                         MAPI_BEST_ACCESS, &type, contacts.put_unknown());
        std::memcpy(&folderKey, cid->Value.bin.lpb + 22, 8);
        Fill();
        if (sqlite3_open_v2(storePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return;
        ok = true;
    }

    void Fill() {
        std::vector<std::u16string> texts(47);
        std::vector<SPropValue> values;
        for (int i = 0; i < kContacts; ++i) {
            values.clear();
            for (int c = 4; c < 47; ++c) {
                SPropValue v{};
                v.ulPropTag = kContactColumns[c];
                if (PROP_TYPE(v.ulPropTag) == PT_SYSTIME) {
                    v.Value.ft = {static_cast<DWORD>(i * 1000), 0x01D5A000};
                } else {
                    std::string s = "Value " + std::to_string(c) + " of contact " + std::to_string(i);
                    texts[c].assign(s.begin(), s.end());
                    v.Value.lpszW = texts[c].data();
                }
                values.push_back(v);
            }
            SPropValue cls{};
            cls.ulPropTag = PR_MESSAGE_CLASS_W;
            cls.Value.lpszW = const_cast<LPWSTR>(u"IPM.Contact");
            values.push_back(cls);
            ComPtr<IMessage> msg;
            contacts->CreateMessage(nullptr, 0, msg.put());
            msg->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr);
            msg->SaveChanges(KEEP_OPEN_READWRITE);
            if (i == kContacts / 2) {
                MapiBuffer<SPropValue> eid(fn.MAPIFreeBuffer);
                fn.HrGetOneProp(msg.get(), PR_ENTRYID, eid.put());
                oneMessage.assign(reinterpret_cast<char*>(eid->Value.bin.lpb), eid->Value.bin.cb);
                std::memcpy(&messageKey, eid->Value.bin.lpb + 22, 8);
            }
        }
    }

    // The four measured calls stay out of line, so that callgrind counts each alone
    // (--toggle-collect='*World::MapiAllRows*' and so on).
    // The baseline: the stored bytes of every contact of the folder, straight from SQLite.
    [[gnu::noinline]] std::size_t RawAllRows() {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(raw, "SELECT id, props FROM objects WHERE parent = ?1 AND kind = 2 ORDER BY id",
                           -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, folderKey);
        std::size_t bytes = 0, rows = 0;
        std::string copy;
        while (sqlite3_step(st) == SQLITE_ROW) {
            copy.assign(static_cast<const char*>(sqlite3_column_blob(st, 1)), sqlite3_column_bytes(st, 1));
            bytes += copy.size();
            ++rows;
        }
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(bytes);
        return rows;
    }
    [[gnu::noinline]] std::size_t RawOneRow() {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(raw, "SELECT props FROM objects WHERE id = ?1", -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, messageKey);
        std::string copy;
        if (sqlite3_step(st) == SQLITE_ROW)
            copy.assign(static_cast<const char*>(sqlite3_column_blob(st, 0)), sqlite3_column_bytes(st, 0));
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(copy);
        return copy.size();
    }

    [[gnu::noinline]] std::size_t MapiAllRows() {
        ComPtr<IMAPITable> table;
        contacts->GetContentsTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, table.put());
        SPropValue cls{};
        cls.ulPropTag = PR_MESSAGE_CLASS_W;
        cls.Value.lpszW = const_cast<LPWSTR>(u"IPM.Contact");
        SRestriction res{};
        res.rt = RES_PROPERTY;
        res.res.resProperty = {RELOP_EQ, PR_MESSAGE_CLASS_W, &cls};
        RowSetPtr rows(fn.FreeProws);
        fn.HrQueryAllRows(table.get(), columns.get(), &res, nullptr, 0, rows.put());
        return rows.size();
    }
    [[gnu::noinline]] std::size_t MapiOne() {
        ComPtr<IMessage> msg;
        ULONG type;
        contacts->OpenEntry(static_cast<ULONG>(oneMessage.size()),
                            reinterpret_cast<LPENTRYID>(oneMessage.data()), nullptr,
                            MAPI_MODIFY | MAPI_BEST_ACCESS, &type, msg.put_unknown());
        ULONG count = 0;
        MapiBuffer<SPropValue> values(fn.MAPIFreeBuffer);
        msg->GetProps(columns.get(), MAPI_UNICODE, &count, values.put());
        return count;
    }

    // The session and the raw connection closed, the folder removed: the program leaves nothing.
    void Remove() {
        contacts.reset();
        store.reset();
        if (session) session->Logoff(0, 0, 0);
        session.reset();
        if (fn.MAPIUninitialize) fn.MAPIUninitialize();
        sqlite3_close(raw);
        raw = nullptr;
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
};

World* g_world = nullptr;  // made by the first benchmark that runs, if any

World& TheWorld() {
    static World w;
    g_world = &w;
    return w;
}

// CPU time of the calling thread: the machine is shared, so wall time says little.
double CpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// The call measured and its baseline in turns, each timed alone, so that both see the machine
// in the same moments (a baseline measured once before would carry whatever the machine did
// then); the figures are the medians of each.
struct Turns {
    std::vector<double> measured, baseline;
    template <class M, class B>
    void Take(benchmark::State& state, M&& measured_call, B&& baseline_call) {
        state.PauseTiming();
        double a = CpuNow();
        baseline_call();
        baseline.push_back(CpuNow() - a);
        state.ResumeTiming();
        a = CpuNow();
        measured_call();
        measured.push_back(CpuNow() - a);
    }
};

void BM_HrQueryAllRows_10kContacts_47Columns(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ok) return state.SkipWithError("world setup failed");
    Turns turns;
    std::size_t rows = 0;
    for (auto _ : state)
        turns.Take(
            state, [&] { rows = w.MapiAllRows(); }, [&] { w.RawAllRows(); });
    const double per = Median(turns.measured), raw = Median(turns.baseline);
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["us_per_row"] = per * 1e6 / static_cast<double>(std::max<std::size_t>(rows, 1));
    state.counters["raw_sqlite_us_per_row"] = raw * 1e6 / kContacts;
    state.counters["x_raw_sqlite"] = per / raw;
}
BENCHMARK(BM_HrQueryAllRows_10kContacts_47Columns)->Unit(benchmark::kMillisecond);

void BM_OpenEntryGetProps_OneContact(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ok) return state.SkipWithError("world setup failed");
    Turns turns;
    for (auto _ : state)
        turns.Take(
            state, [&] { benchmark::DoNotOptimize(w.MapiOne()); }, [&] { w.RawOneRow(); });
    const double per = Median(turns.measured), raw = Median(turns.baseline);
    state.counters["raw_sqlite_us"] = raw * 1e6;
    state.counters["x_raw_sqlite"] = per / raw;
}
BENCHMARK(BM_OpenEntryGetProps_OneContact)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    const int rc = nx::bench::RunWithRatios(argc, argv);
    if (g_world != nullptr) g_world->Remove();
    return rc;
}
