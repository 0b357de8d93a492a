// Appointment writes through the agent against the same property writes made directly through the
// MAPI runtime, in the same run and the same store:
//   Writes/agent     N host documents (three in ten a recurring series: daily, weekly, monthly)
//                    sent with WriteCalendars (procedure 13) over a real socket to the agent's
//                    handlers served in this process: the parse, the dispatch, the writes, the
//                    save and the identifier and time texts back
//   Writes/baseline  the same N appointments, already records, written straight onto new
//                    messages of the same folder (WriteAppointmentProperties), saved, and their
//                    entry ids read: what the agent cannot avoid doing
//   WriteBack/agent  N stored appointments written back unchanged as the update writes them: what
//                    the read sends for the stored message built and compared, only the groups
//                    that differ written (none), saved
//   WriteBack/baseline  the same write-backs by the update path before that comparison: every
//                    property rewritten from the document, saved
// Measured as CPU time of the whole process (both ends of the socket) and reported per
// appointment. NX_CALENDAR_WRITE_BENCH_COUNT (default 1000) sets N.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/BenchWorld.h"
#include "bench/support/RatioReporter.h"
#include "calendar/AppointmentWrite.h"
#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"

namespace {

// The i-th host document: an appointment on a day of 2027 with texts, a reminder and, for three
// in ten, a series.
std::string Document(int i) {
    char day[64];
    std::snprintf(day, sizeof day, "2027/%02d/%02d", 1 + i % 12, 1 + i % 28);
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>\n\t<lFlag>8</lFlag>\n"
        "\t<CsFolder>Calendar</CsFolder>\n\t<Priority>1</Priority>\n"
        "\t<Description>Meeting " +
        std::to_string(i) +
        "</Description>\n\t<Location>Room 4</Location>\n"
        "\t<Body>Agenda of the meeting\nwith a second line.</Body>\n"
        "\t<bAlldayEvent>FALSE</bAlldayEvent>\n\t<dtStartTime>" +
        day + " 10:00:00</dtStartTime>\n\t<dtEndTime>" + day +
        " 11:00:00</dtEndTime>\n\t<nRingTone>0</nRingTone>\n\t<lReminderMinutes>15</lReminderMinutes>\n";
    switch (i % 10) {
        case 0:
            xml +=
                "\t<lRecurType>1</lRecurType>\n\t<lRecurInterval>2</lRecurInterval>\n\t<lRecurRepeat>10</"
                "lRecurRepeat>\n";
            break;
        case 3:
            xml +=
                "\t<lRecurType>2</lRecurType>\n\t<lRecurInterval>1</lRecurInterval>\n\t<lRecurWeekMask>42</"
                "lRecurWeekMask>\n";
            break;
        case 6:
            xml +=
                "\t<lRecurType>3</lRecurType>\n\t<lRecurInterval>1</lRecurInterval>\n\t<lRecurDay>15</"
                "lRecurDay>\n"
                "\t<bRecurHasEndDate>TRUE</bRecurHasEndDate>\n\t<dtRecurEndDate>2028/12/31 "
                "00:00:00</dtRecurEndDate>\n";
            break;
        default:
            xml += "\t<RecurType>0</RecurType>\n";
            break;
    }
    return xml + "\t<lCalType>3</lCalType>\n</Calendar>\n";
}

struct World {
    std::filesystem::path root;
    nx::bench::AgentServer agent;
    std::vector<std::u16string> documents;
    bool ready = false;

    World() {
        root = nx::bench::MakeStoreWorld("nxcalendar-write-bench");
        if (root.empty()) return;
        // The handlers work on the process-wide object, as in the agent.
        NAMESPACE_MAPI::CMAPIObject& mapi = NAMESPACE_MAPI::GetMAPIObject();
        if (mapi.MAPILogOn(nullptr, "") != 1 || mapi.SetCalendarFolder("") != 0 || !agent.Start()) return;
        const int n = nx::bench::EnvInt("NX_CALENDAR_WRITE_BENCH_COUNT", 1000);
        for (int i = 0; i < n; ++i) documents.push_back(nx::sys::Utf8ToUtf16(Document(i)));
        ready = true;
    }

    ~World() {
        agent.Stop();
        NAMESPACE_MAPI::GetMAPIObject().MAPILogOff();
        std::filesystem::remove_all(root);
    }
};

// Made on first use; main() takes it down (server, session, folder) after the benchmarks.
World* g_world = nullptr;
World& TheWorld() {
    if (g_world == nullptr) g_world = new World();
    return *g_world;
}

void BM_Writes_Agent(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    for (auto _ : state) {
        for (const auto& xml : w.documents) {
            nx::rpc::Args args = w.agent.ArgsOf(nx::agent::kWriteCalendars);
            args.Text(0) = xml;
            if (!w.agent.Call(nx::agent::kWriteCalendars, args) || args.Long(3) != 0 || args.Text(1).empty())
                return state.SkipWithError("WriteCalendars failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(w.documents.size()));
}

void BM_Writes_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    NAMESPACE_MAPI::CMAPIObject& mapi = NAMESPACE_MAPI::GetMAPIObject();
    std::vector<std::unique_ptr<NAMESPACE_MAPI::CCalendarEx>> records;
    for (const auto& xml : w.documents) {
        records.push_back(std::make_unique<NAMESPACE_MAPI::CCalendarEx>());
        NAMESPACE_MAPI::ParseCalendarXML(nx::sys::Utf16ToUtf8(xml), *records.back());
    }
    std::vector<NAMESPACE_COMMON::tagNxTimeZone> zones;
    NAMESPACE_COMMON::LoadTimeZones(zones);
    const NAMESPACE_COMMON::TimeZoneSource local = NAMESPACE_MAPI::LocalZone();
    const NAMESPACE_MAPI::CAppointmentWriteZone zone{zones, mapi.LocalTimeZone(), local};
    for (auto _ : state) {
        for (auto& record : records) {
            ComPtr<IMessage> message;
            if (mapi.EventFolder()->CreateMessage(nullptr, 0, message.put()) != S_OK)
                return state.SkipWithError("CreateMessage failed");
            NAMESPACE_MAPI::WriteAppointmentProperties(message.get(), *record, zone);
            if (message->SaveChanges(KEEP_OPEN_READWRITE) != S_OK)
                return state.SkipWithError("SaveChanges failed");
            benchmark::DoNotOptimize(NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(records.size()));
}

// The write-back of N stored appointments: the folder's first N items, each with the document the
// read sends for it (parsed as an inbound update), opened, written by one of the two paths, saved.
void WriteBack(benchmark::State& state, bool compared) {
    World& w = TheWorld();
    if (!w.ready) return state.SkipWithError("world not built (runtime or mapiadmin missing?)");
    NAMESPACE_MAPI::CMAPIObject& mapi = NAMESPACE_MAPI::GetMAPIObject();
    std::vector<NAMESPACE_COMMON::tagNxTimeZone> zones;
    NAMESPACE_COMMON::LoadTimeZones(zones);
    const NAMESPACE_COMMON::TimeZoneSource local = NAMESPACE_MAPI::LocalZone();
    const NAMESPACE_MAPI::CAppointmentWriteZone zone{zones, mapi.LocalTimeZone(), local};
    // The items to write back: made once, by the straight writes, when the folder has none.
    static std::vector<std::vector<uint8_t>> ids;
    if (ids.empty()) {
        for (const auto& xml : w.documents) {
            NAMESPACE_MAPI::CCalendarEx record;
            NAMESPACE_MAPI::ParseCalendarXML(nx::sys::Utf16ToUtf8(xml), record);
            ComPtr<IMessage> message;
            if (mapi.EventFolder()->CreateMessage(nullptr, 0, message.put()) != S_OK)
                return state.SkipWithError("CreateMessage failed");
            NAMESPACE_MAPI::WriteAppointmentProperties(message.get(), record, zone);
            if (message->SaveChanges(KEEP_OPEN_READWRITE) != S_OK)
                return state.SkipWithError("SaveChanges failed");
            MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
            if (!id || id->ulPropTag != PR_ENTRYID) return state.SkipWithError("no PR_ENTRYID");
            ids.emplace_back(id->Value.bin.lpb, id->Value.bin.lpb + id->Value.bin.cb);
        }
    }
    auto open = [&](std::vector<uint8_t>& id, ComPtr<IMessage>& message) {
        return NAMESPACE_COMMON::OpenEntryAs(mapi.EventFolder(), static_cast<ULONG>(id.size()), id.data(),
                                             MAPI_MODIFY | MAPI_BEST_ACCESS, message) == S_OK;
    };
    // What the host sends back: the read's document of each item, as an update.
    std::vector<std::unique_ptr<NAMESPACE_MAPI::CStoredAppointment>> read;
    for (auto& id : ids) {
        ComPtr<IMessage> message;
        if (!open(id, message)) return state.SkipWithError("OpenEntry failed");
        NAMESPACE_MAPI::CAppointmentReadState readState{local, mapi.LocalTimeZone(), {}};
        read.push_back(std::make_unique<NAMESPACE_MAPI::CStoredAppointment>());
        NAMESPACE_MAPI::ReadStoredAppointment(message.get(), readState, *read.back());
        read.back()->record.lFlag = NX_LOG_CHANGED;
    }
    for (auto _ : state) {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            ComPtr<IMessage> message;
            if (!open(ids[i], message)) return state.SkipWithError("OpenEntry failed");
            NAMESPACE_MAPI::CStoredAppointment stored;
            NAMESPACE_MAPI::CAppointmentReadState readState{local, mapi.LocalTimeZone(), {}};
            const bool compare =
                compared && NAMESPACE_MAPI::ReadStoredAppointment(message.get(), readState, stored);
            NAMESPACE_MAPI::WriteAppointmentProperties(message.get(), read[i]->record, zone,
                                                       compare ? &stored : nullptr);
            if (message->SaveChanges(KEEP_OPEN_READWRITE) != S_OK)
                return state.SkipWithError("SaveChanges failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ids.size()));
}

void BM_WriteBack_Agent(benchmark::State& state) {
    WriteBack(state, true);
}
void BM_WriteBack_Baseline(benchmark::State& state) {
    WriteBack(state, false);
}

BENCHMARK(BM_WriteBack_Agent)
    ->Name("WriteBack/agent")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_WriteBack_Baseline)
    ->Name("WriteBack/baseline")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Writes_Agent)->Name("Writes/agent")->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Writes_Baseline)
    ->Name("Writes/baseline")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    const int status = nx::bench::RunWithRatios(argc, argv);
    delete g_world;
    return status;
}
