// Calendar reads against the floor of the same work done raw, in the same run and the same world:
//   FullRead/agent      ReadCalendars "" "" of a folder of N appointments (one in five a weekly
//                       series with a deleted and a moved occurrence): rows, named values, the
//                       recurrence pattern and exceptions text, documents, one RPC callback each
//   FullRead/baseline   the floor (bench/support/ReadBench.h): the same rows read raw with SQLite,
//                       the same documents serialised by pugixml and sent to the same callback
//   ChangeRead/agent    ReadCalendars "" "bench" when nothing changed since the last one
//   ChangeRead/baseline the snapshot alone
// Measured as CPU time of the whole process and reported per appointment. NX_CALENDAR_BENCH_COUNT
// (default 10000) sets N; a sub-folder of NX_CALENDAR_BENCH_SCALE (default 0: none) times as many
// gives Scaling/agent, whose ratio to Scaling/baseline (the N-appointment read) is the scaling factor.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "bench/support/ReadBench.h"
#include "common/Encoding.h"
#include "tests/calendar/BlobBuilder.h"

namespace fs = std::filesystem;

namespace {

using namespace calendar_test;

struct World {
    fs::path root;
    NAMESPACE_MAPI::CMAPIObject mapi;
    nx::bench::ReadBenchHost host;
    bool ready = false;
    int items = 0;
    int scaled = 0;
    std::string mainFolderId, scaledFolderId;
    std::vector<std::string> documents;  // one full read's documents, for the floor

    World() {
        root = fs::temp_directory_path() / ("nxcalendar-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        for (const char* d : {"data", "pipes"}) fs::create_directories(root / d);
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("NX_PIPE_DIR", (root / "pipes").c_str(), 1);
        if (!LoadMapiLibrary(NX_BIN_DIR) || !LoadMapiFunctions()) return;
        const std::string admin = "'" + (fs::path(NX_BIN_DIR) / "mapiadmin").string() + "' init >/dev/null";
        if (std::system(admin.c_str()) != 0) return;
        if (mapi.MAPILogOn(nullptr, "") != 1 || !host.Start()) return;
        nx::agent::BindHostCallback();
        mapi.SetConfig({false, "", "", ""});
        items = nx::bench::EnvInt("NX_CALENDAR_BENCH_COUNT", 10000);
        scaled = items * nx::bench::EnvInt("NX_CALENDAR_BENCH_SCALE", 0);
        if (!Fill(mapi.EventFolder(), items, mainFolderId)) return;
        if (scaled > 0) {
            ComPtr<IMAPIFolder> big;
            std::u16string name = u"Scaled";
            if (FAILED(mapi.EventFolder()->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(name.data()),
                                                        nullptr, nullptr, MAPI_UNICODE, big.put())) ||
                !Fill(big.get(), scaled, scaledFolderId))
                return;
        }
        mapi.SetCalendarSink([this](std::string_view xml) {
            documents.emplace_back(xml);
            return 0u;
        });
        if (!Select(mainFolderId) || mapi.ReadCalendars("", "") != 0) return;
        mapi.SetCalendarSink(nx::agent::DeliverCalendar);
        ready = documents.size() == static_cast<std::size_t>(items);
    }

    bool Select(const std::string& folderId) {
        return mapi.SetCalendarFolder(("<event><id>" + folderId + "</id></event>").c_str()) == 0;
    }

    // N appointments with subject, body, location, times, a reminder and a zone; one in five a series.
    static bool Fill(IMAPIFolder* folder, int n, std::string& folderId) {
        if (folder == nullptr) return false;
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(folder, PR_ENTRYID);
        if (!id) return false;
        folderId = NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
        std::vector<uint8_t> series = WeeklyWithExceptions();
        std::vector<uint8_t> zone(48, 0);
        zone[0] = 0xC4;  // lBias -60
        for (int k = 1; k < 4; ++k) zone[k] = 0xFF;
        // PidLidLocation, StartWhole, EndWhole, ReminderSet, ReminderDelta, Recurring, RecurrenceType,
        // AppointmentRecur, TimeZoneStruct.
        static const struct {
            const GUID* set;
            LONG lid;
            ULONG type;
        } kNamed[] = {{&PSETID_Appointment, 0x8208, PT_UNICODE}, {&PSETID_Appointment, 0x820D, PT_SYSTIME},
                      {&PSETID_Appointment, 0x820E, PT_SYSTIME}, {&PSETID_Common, 0x8503, PT_BOOLEAN},
                      {&PSETID_Common, 0x8501, PT_LONG},         {&PSETID_Appointment, 0x8223, PT_BOOLEAN},
                      {&PSETID_Appointment, 0x8231, PT_LONG},    {&PSETID_Appointment, 0x8216, PT_BINARY},
                      {&PSETID_Appointment, 0x8233, PT_BINARY}};
        std::vector<ULONG> named;
        for (int i = 0; i < n; ++i) {
            ComPtr<IMessage> msg;
            if (FAILED(folder->CreateMessage(nullptr, 0, msg.put()))) return false;
            if (named.empty()) {
                std::vector<MAPINAMEID> names(std::size(kNamed));
                std::vector<LPMAPINAMEID> ptrs;
                for (std::size_t k = 0; k < names.size(); ++k) {
                    names[k] = {const_cast<LPGUID>(kNamed[k].set), MNID_ID, {}};
                    names[k].Kind.lID = kNamed[k].lid;
                    ptrs.push_back(&names[k]);
                }
                MapiBuffer<SPropTagArray> tags(MapiTable().MAPIFreeBuffer);
                if (FAILED(msg->GetIDsFromNames(static_cast<ULONG>(ptrs.size()), ptrs.data(), MAPI_CREATE,
                                                tags.put())))
                    return false;
                for (ULONG k = 0; k < tags->cValues; ++k)
                    named.push_back(PROP_TAG(kNamed[k].type, PROP_ID(tags->aulPropTag[k])));
            }
            const bool recurring = i % 5 == 0;
            std::u16string cls = u"IPM.Appointment",
                           subject = nx::sys::Utf8ToUtf16("Meeting " + std::to_string(i)),
                           body = u"Agenda of the meeting\r\nwith a second line.", place = u"Room 4";
            std::vector<SPropValue> v(4 + named.size());
            v[0].ulPropTag = PR_MESSAGE_CLASS_W;
            v[0].Value.lpszW = cls.data();
            v[1].ulPropTag = PR_SUBJECT_W;
            v[1].Value.lpszW = subject.data();
            v[2].ulPropTag = PR_BODY_W;
            v[2].Value.lpszW = body.data();
            v[3].ulPropTag = PR_PRIORITY;
            v[3].Value.l = 1;
            SPropValue* p = &v[4];
            p[0].Value.lpszW = place.data();
            p[1].Value.ft = {0x8C2A4000u + static_cast<uint32_t>(i) * 600000000u, 0x01DA0000u};
            p[2].Value.ft = {p[1].Value.ft.dwLowDateTime, 0x01DA0001u};
            p[3].Value.b = 1;
            p[4].Value.l = 15;
            p[5].Value.b = recurring ? 1 : 0;
            p[6].Value.l = recurring ? 2 : 0;
            p[7].Value.bin = {static_cast<ULONG>(series.size()), series.data()};
            p[8].Value.bin = {static_cast<ULONG>(zone.size()), zone.data()};
            for (std::size_t k = 0; k < named.size(); ++k) p[k].ulPropTag = named[k];
            const ULONG count = static_cast<ULONG>(recurring ? v.size() : v.size() - 3);  // no series values
            if (!recurring) p[5] = p[8];
            if (FAILED(msg->SetProps(count, v.data(), nullptr)) || FAILED(msg->SaveChanges(0))) return false;
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

void Read(benchmark::State& state, const std::string& folderId, int count, const char* anchor) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    if (!w.Select(folderId)) return state.SkipWithError("folder not selected");
    if (*anchor && w.mapi.ReadCalendars("", anchor) != 0)
        return state.SkipWithError("first change read failed");
    for (auto _ : state)
        if (w.mapi.ReadCalendars("", anchor) != 0) return state.SkipWithError("ReadCalendars failed");
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["appointments"] = count;
}

void BM_FullRead_Agent(benchmark::State& state) {
    Read(state, TheWorld().mainFolderId, TheWorld().items, "");
}

void BM_FullRead_Scaled(benchmark::State& state) {
    if (TheWorld().scaled == 0) return state.SkipWithError("NX_CALENDAR_BENCH_SCALE not set");
    Read(state, TheWorld().scaledFolderId, TheWorld().scaled, "");
}

void BM_FullRead_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    nx::bench::ReadFloor(state, w.root / "data", w.documents, nx::agent::kDeliverCalendar);
}

void BM_ChangeRead_Agent(benchmark::State& state) {
    Read(state, TheWorld().mainFolderId, TheWorld().items, "bench");
}

void BM_ChangeRead_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready || !w.Select(w.mainFolderId)) return state.SkipWithError("world not built");
    nx::bench::SnapshotFloor(state, w.mapi.EventFolder(), u"IPM.Appointment", w.items);
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
