// Contact writes against the same property writes done directly through the MAPI runtime, in the
// same run and the same store:
//   Write/agent      NX_CONTACTS_WRITE_COUNT (default 1000) updates of existing contacts through
//                    the agent interface on a real socket: WriteContacts with a document that sets
//                    every inbound element (no photo), parsed, written property by property,
//                    saved, the identifier and time answered
//   Write/baseline   the same contacts opened by entry id, the same properties (the names resolved
//                    in one call per message) set in one SetProps, the yomi names removed, saved
//   Unchanged/agent  the same updates, each document what the contact already holds (a host
//                    writing back what it read): compared field by field, nothing written or saved
//   Unchanged/baseline  the update path that writes every field, on the same contacts: each
//                    document changes every field, as every update was written before writes
//                    compared with the stored contact
// All are measured as CPU time of the whole process (the agent's handler runs on the RPC
// server's threads) and reported per contact. The agent cases also count the CPU time of the
// benchmark's own thread, which plays the host (it converts each document to UTF-16, marshals
// the call and waits for the reply): the agent's side alone is the process's time less that.
#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/BenchWorld.h"
#include "bench/support/RatioReporter.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactWrite.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace {

using NAMESPACE_MAPI::ContactField;
using NAMESPACE_MAPI::ContactFieldKind;

// A value for every inbound element of contact `n` (round `round` of the benchmark).
std::string FieldValue(const ContactField& f, int n, int round) {
    switch (f.kind) {
        case ContactFieldKind::Date:
            return "19" + std::to_string(50 + n % 50) + "-0" + std::to_string(1 + round % 9) + "-15";
        case ContactFieldKind::Email:
            return "c" + std::to_string(n) + "." + std::to_string(f.id) + "@example.org";
        case ContactFieldKind::Categories:
            return "Friends;Round " + std::to_string(round);
        default:
            return std::string(f.received) + " " + std::to_string(n) + "/" + std::to_string(round);
    }
}

std::string Document(const std::string& pimid, int n, int round) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Contact><lFlag>" +
                      std::string(pimid.empty() ? "8" : "4") + "</lFlag><PIMID>" + pimid +
                      "</PIMID><CsFolder>Contacts</CsFolder>";
    for (const ContactField& f : NAMESPACE_MAPI::ContactFields())
        if (f.received)
            doc += "<" + std::string(f.received) + ">" + FieldValue(f, n, round) + "</" + f.received + ">";
    return doc + "</Contact>";
}

struct World {
    std::filesystem::path root;
    nx::bench::AgentServer agent;
    std::vector<std::string> ids;
    bool ready = false;

    World() {
        root = nx::bench::MakeStoreWorld("nxcontacts-write-bench");
        if (root.empty() || !agent.Start()) return;
        nx::rpc::Args logon = agent.ArgsOf(nx::agent::kMAPILogOn);
        if (!agent.Call(nx::agent::kMAPILogOn, logon) || logon.Long(1) != 0) return;
        const int count = nx::bench::EnvInt("NX_CONTACTS_WRITE_COUNT", 1000);
        for (int n = 0; n < count; ++n) {
            std::string id;
            if (!Write(Document("", n, 0), &id) || id.empty()) return;
            ids.push_back(id);
        }
        ready = true;
    }

    bool Write(const std::string& document, std::string* id = nullptr) {
        nx::rpc::Args args = agent.ArgsOf(nx::agent::kWriteContacts);
        args.Text(0) = nx::sys::Utf8ToUtf16(document);
        if (!agent.Call(nx::agent::kWriteContacts, args) || args.Long(3) != 0) return false;
        if (id) *id = nx::sys::Utf16ToUtf8(args.Text(1));
        return !args.Text(1).empty();
    }

    ~World() {
        nx::rpc::Args logoff = agent.ArgsOf(nx::agent::kMAPILogOff);
        agent.Call(nx::agent::kMAPILogOff, logoff);
    }
};

// CPU time of the calling thread (the host's side of the calls), in milliseconds.
double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Sends every document, adding the calling thread's CPU time to `hostMs`; false when a write failed.
bool WriteAllTimed(World& w, const std::vector<std::string>& documents, double& hostMs) {
    const double start = ThreadCpuMs();
    for (const std::string& doc : documents)
        if (!w.Write(doc)) return false;
    hostMs += ThreadCpuMs() - start;
    return true;
}

World* g_world = nullptr;  // made by the first benchmark that runs, if any

World& TheWorld() {
    static World* world = g_world = new World();  // lives to the end of main (main removes its folder)
    return *world;
}

void BM_Write_Agent(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    static int round = 1;  // on across calls: a round never repeats what is stored
    std::vector<std::string> documents(w.ids.size());
    double hostMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t n = 0; n < w.ids.size(); ++n)
            documents[n] = Document(w.ids[n], static_cast<int>(n), round);
        ++round;
        state.ResumeTiming();
        if (!WriteAllTimed(w, documents, hostMs)) return state.SkipWithError("WriteContacts failed");
    }
    state.counters[nx::bench::kHostCpuCounter] =
        benchmark::Counter(hostMs, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * static_cast<long>(w.ids.size()));
}

// The same properties, written the way a program of its own would: one name resolution and one
// SetProps per message.
void BM_Write_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    IMAPIFolder* folder = NAMESPACE_MAPI::GetMAPIObject().ContactFolder();
    // The named properties: file-as, the work address, the yomi names, the e-mail quads, IM,
    // the has-picture flag, then "Keywords".
    std::vector<LONG> lids = {NAMESPACE_MAPI::kLidFileUnder, NAMESPACE_MAPI::kLidInstantMessaging,
                              NAMESPACE_MAPI::kLidHasPicture};
    for (const ContactField& f : NAMESPACE_MAPI::ContactFields()) {
        if (f.kind == ContactFieldKind::NamedText) lids.push_back(f.lid);
        if (f.kind == ContactFieldKind::Email)
            for (LONG d : {-3, -1, 0, 1}) lids.push_back(f.lid + d);
    }
    std::vector<MAPINAMEID> names(lids.size() + 1);
    std::vector<LPMAPINAMEID> pointers;
    for (std::size_t k = 0; k < lids.size(); ++k) {
        names[k] = {const_cast<LPGUID>(&PSETID_Address), MNID_ID, {}};
        names[k].Kind.lID = lids[k];
    }
    std::u16string keywords = u"Keywords";
    names.back() = {const_cast<LPGUID>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    names.back().Kind.lpwstrName = keywords.data();
    for (MAPINAMEID& n : names) pointers.push_back(&n);
    int round = 1;
    for (auto _ : state) {
        for (std::size_t n = 0; n < w.ids.size(); ++n) {
            const std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(w.ids[n]);
            ComPtr<IMessage> message;
            if (FAILED(NAMESPACE_COMMON::OpenEntryAs(folder, static_cast<ULONG>(id.size()), id.data(),
                                                     MAPI_MODIFY | MAPI_BEST_ACCESS, message)))
                return state.SkipWithError("OpenEntry failed");
            MapiBuffer<SPropTagArray> tags(MapiTable().MAPIFreeBuffer);
            if (FAILED(message->GetIDsFromNames(static_cast<ULONG>(pointers.size()), pointers.data(),
                                                MAPI_CREATE, tags.put())))
                return state.SkipWithError("GetIDsFromNames failed");
            std::vector<std::u16string> texts;
            texts.reserve(256);
            std::vector<SPropValue> values;
            auto text = [&](ULONG tag, const std::string& s) {
                texts.push_back(nx::sys::Utf8ToUtf16(s));
                SPropValue v{};
                v.ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(tag));
                v.Value.lpszW = texts.back().data();
                values.push_back(v);
            };
            auto named = [&](LONG lid) {
                for (std::size_t k = 0; k < lids.size(); ++k)
                    if (lids[k] == lid) return tags->aulPropTag[k];
                return ULONG{0};
            };
            text(PR_MESSAGE_CLASS_W, "IPM.Contact");
            std::vector<std::u16string> categories;
            std::vector<LPWSTR> categoryPointers;
            for (const ContactField& f : NAMESPACE_MAPI::ContactFields()) {
                if (!f.received) continue;
                const std::string value = FieldValue(f, static_cast<int>(n), round);
                switch (f.kind) {
                    case ContactFieldKind::Text:
                    case ContactFieldKind::Body:
                        text(f.tag, value);
                        break;
                    case ContactFieldKind::NamedText:
                        text(named(f.lid), value);
                        break;
                    case ContactFieldKind::Email:
                        text(named(f.lid - 1), "SMTP");
                        for (LONG d : {-3, 0, 1}) text(named(f.lid + d), value);
                        break;
                    case ContactFieldKind::InstantMessaging:
                        if (f.id == 4029) text(named(f.lid), f.imPrefix + value);
                        break;
                    case ContactFieldKind::Categories: {
                        categories = {u"Friends", nx::sys::Utf8ToUtf16("Round " + std::to_string(round))};
                        for (auto& c : categories) categoryPointers.push_back(c.data());
                        SPropValue v{};
                        v.ulPropTag = PROP_TAG(PT_MV_UNICODE, PROP_ID(tags->aulPropTag[lids.size()]));
                        v.Value.MVszW = {static_cast<ULONG>(categoryPointers.size()),
                                         categoryPointers.data()};
                        values.push_back(v);
                        break;
                    }
                    case ContactFieldKind::Date: {
                        SPropValue v{};
                        v.ulPropTag = f.tag;
                        SYSTEMTIME utc{};
                        NAMESPACE_COMMON::LocalToUtc(NAMESPACE_MAPI::ParseContactDate(value), utc);
                        NAMESPACE_COMMON::SystemTimeToFileTime(utc, v.Value.ft);
                        values.push_back(v);
                        break;
                    }
                    case ContactFieldKind::FullName:
                        break;
                }
            }
            const std::string name =
                FieldValue(*NAMESPACE_MAPI::FindContactField(1), static_cast<int>(n), round) + " " +
                FieldValue(*NAMESPACE_MAPI::FindContactField(3), static_cast<int>(n), round) + " " +
                FieldValue(*NAMESPACE_MAPI::FindContactField(2), static_cast<int>(n), round);
            for (ULONG tag : {ULONG(PR_DISPLAY_NAME_W), ULONG(PR_SUBJECT_W), ULONG(PR_NORMALIZED_SUBJECT_W),
                              named(NAMESPACE_MAPI::kLidFileUnder)})
                text(tag, name);
            text(PR_INITIALS_W, "F.M.L.");
            SPropValue hasPicture{};
            hasPicture.ulPropTag = PROP_TAG(PT_BOOLEAN, PROP_ID(named(NAMESPACE_MAPI::kLidHasPicture)));
            values.push_back(hasPicture);
            if (FAILED(message->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr)))
                return state.SkipWithError("SetProps failed");
            SizedSPropTagArray<2> yomi = {2, {named(0x802C), named(0x802D)}};
            message->DeleteProps(yomi.get(), nullptr);
            if (message->SaveChanges(KEEP_OPEN_READWRITE) != S_OK)
                return state.SkipWithError("SaveChanges failed");
        }
        ++round;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(w.ids.size()));
}

// Writing back what is stored; the documents are stored (untimed) before each timed round.
void BM_Unchanged_Agent(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    std::vector<std::string> documents(w.ids.size());
    for (std::size_t n = 0; n < w.ids.size(); ++n)
        documents[n] = Document(w.ids[n], static_cast<int>(n), 1000);
    for (const std::string& doc : documents)
        if (!w.Write(doc)) return state.SkipWithError("WriteContacts failed");
    double hostMs = 0;
    for (auto _ : state)
        if (!WriteAllTimed(w, documents, hostMs)) return state.SkipWithError("WriteContacts failed");
    state.counters[nx::bench::kHostCpuCounter] =
        benchmark::Counter(hostMs, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * static_cast<long>(w.ids.size()));
}

// Every field changed on every update: what each update cost when every write replaced all.
void BM_Unchanged_Baseline(benchmark::State& state) {
    BM_Write_Agent(state);
}

BENCHMARK(BM_Write_Agent)->Name("Write/agent")->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Write_Baseline)->Name("Write/baseline")->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Unchanged_Agent)
    ->Name("Unchanged/agent")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Unchanged_Baseline)
    ->Name("Unchanged/baseline")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    const int rc = nx::bench::RunWithRatios(argc, argv);
    if (g_world != nullptr) std::filesystem::remove_all(g_world->root);  // none is made for nothing
    return rc;
}
