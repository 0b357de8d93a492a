// The session object against the runtime's raw table reads, in the same run and the same world:
//   GetAppFolder/agent     the folders document of a profile whose second store holds 1,000
//                          folders (10 x 10 x 10) besides the standard store
//   GetAppFolder/baseline  the same walk with the runtime alone: stores table, IPM subtree,
//                          hierarchy table of every folder (same columns), no document
//   ContactCount/agent     GetContactCount of a folder of 10,000 contacts (and a few other items)
//   ContactCount/baseline  the contents table of that folder read with the same restriction
// The world is built once per run in a temporary folder (mapiadmin for the profile and stores,
// MAPI for the bulk). The run ends with agent/baseline CPU-time ratios. NX_MAPI_BENCH_FOLDERS
// (default 10, the fan-out per level) and NX_MAPI_BENCH_CONTACTS (default 10000) scale it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bench/support/RatioReporter.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "mapi/MAPIObject.h"

namespace fs = std::filesystem;

namespace {

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

bool Admin(const std::string& args) {
    const std::string cmd = "'" + (fs::path(NX_BIN_DIR) / "mapiadmin").string() + "' " + args + " >/dev/null";
    return std::system(cmd.c_str()) == 0;
}

ComPtr<IMAPIFolder> CreateFolder(IMAPIFolder* parent, const std::u16string& name, const std::u16string& cls) {
    ComPtr<IMAPIFolder> folder;
    std::u16string n = name;
    if (FAILED(parent->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(n.data()), nullptr, nullptr,
                                    MAPI_UNICODE, folder.put())))
        return {};
    std::u16string c = cls;
    SPropValue v{};
    v.ulPropTag = PR_CONTAINER_CLASS_W;
    v.Value.lpszW = c.data();
    folder->SetProps(1, &v, nullptr);
    folder->SaveChanges(KEEP_OPEN_READWRITE);
    return folder;
}

void PutItem(IMAPIFolder* folder, const char16_t* cls, const std::u16string& subject) {
    ComPtr<IMessage> msg;
    if (FAILED(folder->CreateMessage(nullptr, 0, msg.put()))) return;
    std::u16string c = cls, s = subject;
    SPropValue v[2] = {};
    v[0].ulPropTag = PR_MESSAGE_CLASS_W;
    v[0].Value.lpszW = c.data();
    v[1].ulPropTag = PR_SUBJECT_W;
    v[1].Value.lpszW = s.data();
    msg->SetProps(2, v, nullptr);
    msg->SaveChanges(0);
}

// The run's world and the logged-on session object.
struct World {
    fs::path root;
    NAMESPACE_MAPI::CMAPIObject mapi;
    bool ready = false;
    int folders = 0;
    int contacts = 0;

    World() {
        root = fs::temp_directory_path() / ("nxmapi-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "data");
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        if (!LoadMapiLibrary(NX_BIN_DIR) || !LoadMapiFunctions()) return;
        if (!Admin("init") || !Admin("store create Bench")) return;
        if (mapi.MAPILogOn(nullptr, "") != 1) return;
        const int fan = EnvInt("NX_MAPI_BENCH_FOLDERS", 10);
        const int nContacts = EnvInt("NX_MAPI_BENCH_CONTACTS", 10000);
        if (!BuildFolders(fan) || !BuildContacts(nContacts)) return;
        ready = true;
    }
    ~World() {
        mapi.MAPILogOff();
        fs::remove_all(root);
    }

    ComPtr<IMsgStore> OpenStore(const char16_t* displayName) {
        const MapiFunctions& fns = MapiTable();
        ComPtr<IMAPITable> table;
        if (FAILED(mapi.Session()->GetMsgStoresTable(0, table.put()))) return {};
        SizedSPropTagArray<2> cols = {2, {PR_ENTRYID, PR_DISPLAY_NAME_W}};
        RowSetPtr rows(fns.FreeProws);
        if (FAILED(fns.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()))) return {};
        for (ULONG i = 0; i < rows.size(); ++i) {
            const SPropValue* p = rows[i].lpProps;
            if (p[1].ulPropTag != PR_DISPLAY_NAME_W || std::u16string(p[1].Value.lpszW) != displayName)
                continue;
            ComPtr<IMsgStore> store;
            mapi.Session()->OpenMsgStore(0, p[0].Value.bin.cb,
                                         reinterpret_cast<LPENTRYID>(p[0].Value.bin.lpb), nullptr,
                                         MAPI_BEST_ACCESS | MDB_NO_DIALOG, store.put());
            return store;
        }
        return {};
    }

    bool BuildFolders(int fan) {
        ComPtr<IMsgStore> store = OpenStore(u"Bench");
        if (!store) return false;
        MapiBuffer<SPropValue> top = NAMESPACE_COMMON::GetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID);
        if (!top) return false;
        ComPtr<IMAPIFolder> subtree =
            NAMESPACE_COMMON::OpenFolderEntry(store.get(), top->Value.bin.cb, top->Value.bin.lpb);
        if (!subtree) return false;
        static const char16_t* kClasses[] = {u"IPF.Note", u"IPF.Contact", u"IPF.Appointment", u"IPF.Task"};
        for (int a = 0; a < fan; ++a) {
            ComPtr<IMAPIFolder> fa = CreateFolder(subtree.get(), u"A" + Num(a), kClasses[a % 4]);
            if (!fa) return false;
            ++folders;
            for (int b = 0; b < fan; ++b) {
                ComPtr<IMAPIFolder> fb = CreateFolder(fa.get(), u"B" + Num(b), kClasses[b % 4]);
                if (!fb) return false;
                ++folders;
                for (int c = 0; c < fan; ++c) {
                    if (!CreateFolder(fb.get(), u"C" + Num(c), kClasses[c % 4])) return false;
                    ++folders;
                }
            }
        }
        return true;
    }

    bool BuildContacts(int n) {
        IMAPIFolder* folder = mapi.ContactFolder();
        if (folder == nullptr) return false;
        for (int i = 0; i < n; ++i) PutItem(folder, u"IPM.Contact", u"Contact " + Num(i));
        for (int i = 0; i < 10; ++i) PutItem(folder, u"IPM.DistList", u"List " + Num(i));
        contacts = n;
        return true;
    }

    static std::u16string Num(int i) {
        const std::string s = std::to_string(i);
        return std::u16string(s.begin(), s.end());
    }
};

World& TheWorld() {
    static World* world = new World();
    return *world;
}

// ---- GetAppFolder ----

void BM_GetAppFolder_Agent(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    std::string doc;
    for (auto _ : state) {
        if (w.mapi.GetAppFolder("x", &doc) != 0) return state.SkipWithError("GetAppFolder failed");
        benchmark::DoNotOptimize(doc.data());
    }
    state.counters["folders"] = w.folders;
    state.counters["bytes"] = static_cast<double>(doc.size());
}

int WalkFolder(IMsgStore* store, ULONG cb, const BYTE* id) {
    const MapiFunctions& fns = MapiTable();
    ComPtr<IMAPIFolder> folder = NAMESPACE_COMMON::OpenFolderEntry(store, cb, id);
    if (!folder) return 0;
    ComPtr<IMAPITable> table;
    if (FAILED(folder->GetHierarchyTable(MAPI_UNICODE, table.put()))) return 0;
    SizedSPropTagArray<4> cols = {4, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS}};
    RowSetPtr rows(fns.FreeProws);
    if (FAILED(fns.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()))) return 0;
    int n = 0;
    for (ULONG i = 0; i < rows.size(); ++i) {
        const SPropValue& e = rows[i].lpProps[2];
        if (e.ulPropTag == PR_ENTRYID) n += 1 + WalkFolder(store, e.Value.bin.cb, e.Value.bin.lpb);
    }
    return n;
}

void BM_GetAppFolder_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    const MapiFunctions& fns = MapiTable();
    int seen = 0;
    for (auto _ : state) {
        seen = 0;
        ComPtr<IMAPITable> table;
        w.mapi.Session()->GetMsgStoresTable(0, table.put());
        SizedSPropTagArray<3> cols = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
        RowSetPtr rows(fns.FreeProws);
        fns.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put());
        for (ULONG i = 0; i < rows.size(); ++i) {
            const SPropValue& e = rows[i].lpProps[1];
            ComPtr<IMsgStore> store;
            if (FAILED(w.mapi.Session()->OpenMsgStore(0, e.Value.bin.cb,
                                                      reinterpret_cast<LPENTRYID>(e.Value.bin.lpb), nullptr,
                                                      0x19, store.put())))
                continue;
            MapiBuffer<SPropValue> top = NAMESPACE_COMMON::GetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID);
            if (top) seen += WalkFolder(store.get(), top->Value.bin.cb, top->Value.bin.lpb);
        }
    }
    state.counters["folders"] = seen;
}

// ---- Contact count ----

void BM_ContactCount_Agent(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    int32_t count = 0;
    for (auto _ : state) benchmark::DoNotOptimize(count = w.mapi.GetContactCount());
    if (count != w.contacts) return state.SkipWithError("wrong count");
    state.counters["items"] = count;
}

void BM_ContactCount_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    const MapiFunctions& fns = MapiTable();
    ULONG count = 0;
    for (auto _ : state) {
        ComPtr<IMAPITable> table;
        w.mapi.ContactFolder()->GetContentsTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, table.put());
        std::u16string cls = u"IPM.Contact";
        SPropValue v{};
        v.ulPropTag = PR_MESSAGE_CLASS_W;
        v.Value.lpszW = cls.data();
        SRestriction r{};
        r.rt = RES_PROPERTY;
        r.res.resProperty = {RELOP_EQ, PR_MESSAGE_CLASS_W, &v};
        SizedSPropTagArray<1> cols = {1, {PR_ENTRYID}};
        RowSetPtr rows(fns.FreeProws);
        fns.HrQueryAllRows(table.get(), cols.get(), &r, nullptr, 0, rows.put());
        count = rows.size();
    }
    state.counters["items"] = count;
}

BENCHMARK(BM_GetAppFolder_Agent)->Name("GetAppFolder/agent")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAppFolder_Baseline)->Name("GetAppFolder/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContactCount_Agent)->Name("ContactCount/agent")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContactCount_Baseline)->Name("ContactCount/baseline")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const int status = nx::bench::RunWithRatios(argc, argv);
    delete &TheWorld();
    return status;
}
