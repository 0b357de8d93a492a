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
#include "bench/support/ReadBench.h"
#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"

namespace fs = std::filesystem;

namespace {

using nx::bench::EnvInt;

std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct World {
    fs::path root;
    NAMESPACE_MAPI::CMAPIObject mapi;
    nx::bench::ReadBenchHost host;
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

// Made by the first benchmark that runs; main removes its folder when the run ends (the world
// itself is not destroyed: its callback server still listens when the process exits).
World* g_world = nullptr;

World& TheWorld() {
    if (g_world == nullptr) g_world = new World();
    return *g_world;
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
    nx::bench::ReadFloor(state, w.root / "data", w.documents, nx::agent::kDeliverContact);
    state.counters["contacts"] = static_cast<double>(w.documents.size());
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
    nx::bench::SnapshotFloor(state, w.mapi.ContactFolder(), u"IPM.Contact", w.contacts);
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
    const int rc = nx::bench::RunWithRatios(argc, argv);
    if (g_world != nullptr) {
        g_world->mapi.MAPILogOff();
        fs::remove_all(g_world->root);
    }
    return rc;
}
