// Contact reads against the floor of the same work done raw, in the same run and the same world:
//   FullRead/agent      ReadContacts "" "" of a folder of N contacts (every field, one in ten with
//                       a 20 KB photo): rows, messages, pictures, documents, one RPC callback each
//   FullRead/baseline   the floor: SQLite read of the same rows (messages and attachments) straight
//                       from the store file, pugixml serialising the same documents, and an RPC
//                       round trip of the same document bytes to the same callback server
//   ChangeRead/agent    ReadContacts "" "bench" when nothing changed since the last one: count,
//                       snapshot, the journal's comparison
//   ChangeRead/baseline the snapshot alone (rows of the three columns into journal entries)
// Both are measured as CPU time of the whole process (the callback server runs on its threads)
// and reported per contact. NX_CONTACTS_BENCH_COUNT (default 10000) sets N; a second folder of
// NX_CONTACTS_BENCH_SCALE (default 0: none) times as many contacts gives Scaling/agent, whose
// ratio to Scaling/baseline (the N-contact read again) is the scaling factor.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/HostCallback.h"
#include "agent/Interfaces.h"
#include "bench/support/RatioReporter.h"
#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"

namespace fs = std::filesystem;

namespace {

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The callback server: takes every document and counts it.
struct Host {
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
        handlers[nx::agent::kDeliverCalendar] = handlers[nx::agent::kNotifyShutdown];
        if (server.UseProtseqEp(nx::agent::kProtseq, nx::agent::kMaxCalls, nx::agent::kCallbackEndpoint) !=
                0 ||
            server.RegisterIf(nx::agent::CallbackInterface(), std::move(handlers)) != 0)
            return false;
        thread = std::thread([this] { server.Listen(1, nx::agent::kMaxCalls); });
        return true;
    }
};

struct World {
    fs::path root;
    NAMESPACE_MAPI::CMAPIObject mapi;
    Host host;
    bool ready = false;
    int contacts = 0;
    int scaled = 0;
    std::string mainFolderId, scaledFolderId;  // hex entry ids
    std::vector<std::string> documents;        // one full read's documents, for the floor

    World() {
        root = fs::temp_directory_path() / ("nxcontacts-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        for (const char* d : {"data", "pipes", "work"}) fs::create_directories(root / d);
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("NX_PIPE_DIR", (root / "pipes").c_str(), 1);
        if (!LoadMapiLibrary(NX_BIN_DIR) || !LoadMapiFunctions()) return;
        const std::string admin = "'" + (fs::path(NX_BIN_DIR) / "mapiadmin").string() + "' init >/dev/null";
        if (std::system(admin.c_str()) != 0) return;
        if (mapi.MAPILogOn(nullptr, "") != 1 || !host.Start()) return;
        nx::agent::BindHostCallback();
        mapi.SetConfig({false, "", "", (root / "work").string()});
        mapi.SetContactSink(nx::agent::DeliverContact);
        contacts = EnvInt("NX_CONTACTS_BENCH_COUNT", 10000);
        scaled = contacts * EnvInt("NX_CONTACTS_BENCH_SCALE", 0);
        if (!Fill(mapi.ContactFolder(), contacts, mainFolderId)) return;
        if (scaled > 0) {
            ComPtr<IMAPIFolder> big;
            std::u16string name = u"Scaled";
            if (FAILED(mapi.ContactFolder()->CreateFolder(FOLDER_GENERIC,
                                                          reinterpret_cast<LPTSTR>(name.data()), nullptr,
                                                          nullptr, MAPI_UNICODE, big.put())) ||
                !Fill(big.get(), scaled, scaledFolderId))
                return;
        }
        // The documents of one read, for the floor.
        mapi.SetContactSink([this](std::string_view xml) {
            documents.emplace_back(xml);
            return 0u;
        });
        if (!Select(mainFolderId) || mapi.ReadContacts("", "") != 0) return;
        mapi.SetContactSink(nx::agent::DeliverContact);
        ready = documents.size() == static_cast<std::size_t>(contacts);
    }

    bool Select(const std::string& folderId) {
        return mapi.SetContactFolder(("<id>" + folderId + "</id>").c_str()) == 0;
    }

    // N contacts with every field; one in ten with a 20 KB photo.
    static bool Fill(IMAPIFolder* folder, int n, std::string& folderId) {
        if (folder == nullptr) return false;
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(folder, PR_ENTRYID);
        if (!id) return false;
        folderId = NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
        std::vector<ULONG> named;
        std::string photo(20 * 1024, '\0');
        for (std::size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 7);
        for (int i = 0; i < n; ++i) {
            ComPtr<IMessage> msg;
            if (FAILED(folder->CreateMessage(nullptr, 0, msg.put()))) return false;
            if (named.empty()) {
                // PSETID_Address ids of the named fields (the same for every message of the store).
                static const LONG kLids[] = {0x8005, 0x8049, 0x8046, 0x8047, 0x8045, 0x8048, 0x804A, 0x802C,
                                             0x802D, 0x8082, 0x8083, 0x8092, 0x8093, 0x80A2, 0x80A3, 0x8062};
                std::vector<MAPINAMEID> names(std::size(kLids));
                std::vector<LPMAPINAMEID> ptrs;
                for (std::size_t k = 0; k < names.size(); ++k) {
                    names[k] = {const_cast<LPGUID>(&PSETID_Address), MNID_ID, {}};
                    names[k].Kind.lID = kLids[k];
                    ptrs.push_back(&names[k]);
                }
                MapiBuffer<SPropTagArray> tags(MapiTable().MAPIFreeBuffer);
                if (FAILED(msg->GetIDsFromNames(static_cast<ULONG>(ptrs.size()), ptrs.data(), MAPI_CREATE,
                                                tags.put())))
                    return false;
                for (ULONG k = 0; k < tags->cValues; ++k)
                    named.push_back(PROP_TAG(PT_UNICODE, PROP_ID(tags->aulPropTag[k])));
            }
            std::vector<std::u16string> texts;
            texts.reserve(128);
            std::vector<SPropValue> values;
            auto text = [&](ULONG tag, std::u16string s) {
                texts.push_back(std::move(s));
                SPropValue v{};
                v.ulPropTag = tag;
                v.Value.lpszW = texts.back().data();
                values.push_back(v);
            };
            const std::u16string num = U16(std::to_string(i));
            text(PR_MESSAGE_CLASS_W, u"IPM.Contact");
            for (ULONG tag : NAMESPACE_MAPI::ContactColumns()) {
                if (PROP_TYPE(tag) == PT_UNICODE) text(tag, u"Value " + num);
                if (PROP_TYPE(tag) == PT_SYSTIME && tag != PR_CREATION_TIME &&
                    tag != PR_LAST_MODIFICATION_TIME) {
                    SPropValue v{};
                    v.ulPropTag = tag;
                    v.Value.ft = {0x8C2A4000u, 0x01B0B7F2u};
                    values.push_back(v);
                }
            }
            for (ULONG tag : named) text(tag, u"named " + num);
            text(PR_BODY_W, u"A note of a few words about contact " + num + u"\r\nand a second line.");
            if (FAILED(msg->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr)))
                return false;
            if (i % 10 == 0) {
                ComPtr<IAttach> attach;
                ULONG num2 = 0;
                if (FAILED(msg->CreateAttach(nullptr, 0, &num2, attach.put()))) return false;
                SPropValue a[3] = {};
                a[0].ulPropTag = PR_ATTACH_METHOD;
                a[0].Value.l = 1;
                a[1].ulPropTag = PR_ATTACHMENT_CONTACTPHOTO;
                a[1].Value.b = 1;
                a[2].ulPropTag = PR_ATTACH_DATA_BIN;
                a[2].Value.bin = {static_cast<ULONG>(photo.size()), reinterpret_cast<LPBYTE>(photo.data())};
                if (FAILED(attach->SetProps(3, a, nullptr)) || FAILED(attach->SaveChanges(0))) return false;
            }
            if (FAILED(msg->SaveChanges(0))) return false;
        }
        return true;
    }

    ~World() {
        mapi.MAPILogOff();
        fs::remove_all(root);
    }
};

World& TheWorld() {
    static World* world = new World();
    return *world;
}

void Read(benchmark::State& state, const std::string& folderId, int count) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    if (!w.Select(folderId)) return state.SkipWithError("folder not selected");
    for (auto _ : state)
        if (w.mapi.ReadContacts("", "") != 0) return state.SkipWithError("ReadContacts failed");
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["contacts"] = count;
}

void BM_FullRead_Agent(benchmark::State& state) {
    Read(state, TheWorld().mainFolderId, TheWorld().contacts);
}

void BM_FullRead_Scaled(benchmark::State& state) {
    if (TheWorld().scaled == 0) return state.SkipWithError("NX_CONTACTS_BENCH_SCALE not set");
    Read(state, TheWorld().scaledFolderId, TheWorld().scaled);
}

// The floor: the store's rows read raw, the same documents serialised by pugixml and sent.
void BM_FullRead_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    fs::path storeFile;
    for (const auto& e : fs::directory_iterator(w.root / "data/nxmapi/stores")) storeFile = e.path();
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
    std::vector<pugi::xml_document> docs(w.documents.size());
    for (std::size_t i = 0; i < docs.size(); ++i) docs[i].load_string(w.documents[i].c_str());
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
            nx::rpc::Args args(nx::agent::CallbackInterface().procedures[nx::agent::kDeliverContact]);
            const std::string text = out.str();
            args.Text(0) = std::u16string(text.begin(), text.end());
            if (binding->Call(nx::agent::CallbackInterface(), nx::agent::kDeliverContact, args) != 0)
                return state.SkipWithError("callback failed");
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    sqlite3_finalize(messages);
    sqlite3_finalize(attachments);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * static_cast<long>(docs.size()));
    state.counters["contacts"] = static_cast<double>(docs.size());
}

// A change read that finds nothing changed, against the snapshot alone (the folder's rows read
// and turned into journal entries).
void BM_ChangeRead_Agent(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready || !w.Select(w.mainFolderId)) return state.SkipWithError("world not built");
    if (w.mapi.ReadContacts("", "bench") != 0) return state.SkipWithError("first change read failed");
    for (auto _ : state)
        if (w.mapi.ReadContacts("", "bench") != 0) return state.SkipWithError("ReadContacts failed");
    state.SetItemsProcessed(state.iterations() * w.contacts);
}

void BM_ChangeRead_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready || !w.Select(w.mainFolderId)) return state.SkipWithError("world not built");
    const MapiFunctions& fns = MapiTable();
    const auto zone = NAMESPACE_MAPI::LocalZone();
    for (auto _ : state) {
        ComPtr<IMAPITable> table;
        w.mapi.ContactFolder()->GetContentsTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, table.put());
        SizedSPropTagArray<3> columns = {
            3, {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_LAST_MODIFICATION_TIME}};
        NAMESPACE_COMMON::EqualsRestriction isContact(PR_MESSAGE_CLASS_W, std::u16string(u"IPM.Contact"));
        RowSetPtr rows(fns.FreeProws);
        fns.HrQueryAllRows(table.get(), columns.get(), isContact.get(), nullptr, 0, rows.put());
        CLogItemArray snapshot;
        NAMESPACE_MAPI::CLogEntry entry;
        for (ULONG i = 0; i < rows.size(); ++i) {
            NAMESPACE_MAPI::FillLogItem(entry, rows[i].lpProps, rows[i].cValues, zone);
            snapshot.Add(U16(entry.id), entry.modified.GetValue(),
                         static_cast<int32_t>(entry.modified.GetStatus()));
        }
        benchmark::DoNotOptimize(snapshot.GetSize());
    }
    state.SetItemsProcessed(state.iterations() * w.contacts);
}

BENCHMARK(BM_ChangeRead_Agent)
    ->Name("ChangeRead/agent")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_ChangeRead_Baseline)
    ->Name("ChangeRead/baseline")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_FullRead_Agent)->Name("FullRead/agent")->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_FullRead_Baseline)
    ->Name("FullRead/baseline")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_FullRead_Scaled)->Name("Scaling/agent")->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_FullRead_Agent)
    ->Name("Scaling/baseline")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    return nx::bench::RunWithRatios(argc, argv);
}
