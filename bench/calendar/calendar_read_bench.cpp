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
#include <string>
#include <vector>

#include "bench/support/ReadBench.h"
#include "tests/calendar/BlobBuilder.h"

namespace {

using namespace calendar_test;
using nx::bench::NamedProp;

// N appointments with subject, body, location, times, a reminder and a zone; one in five a series.
bool Fill(IMAPIFolder* folder, int n) {
    std::vector<uint8_t> series = WeeklyWithExceptions();
    std::vector<uint8_t> zone(48, 0);
    zone[0] = 0xC4;  // lBias -60
    for (int k = 1; k < 4; ++k) zone[k] = 0xFF;
    // PidLidLocation, StartWhole, EndWhole, ReminderSet, ReminderDelta, Recurring, RecurrenceType,
    // AppointmentRecur, TimeZoneStruct.
    static const std::vector<NamedProp> kNamed = {
        {&PSETID_Appointment, 0x8208, PT_UNICODE}, {&PSETID_Appointment, 0x820D, PT_SYSTIME},
        {&PSETID_Appointment, 0x820E, PT_SYSTIME}, {&PSETID_Common, 0x8503, PT_BOOLEAN},
        {&PSETID_Common, 0x8501, PT_LONG},         {&PSETID_Appointment, 0x8223, PT_BOOLEAN},
        {&PSETID_Appointment, 0x8231, PT_LONG},    {&PSETID_Appointment, 0x8216, PT_BINARY},
        {&PSETID_Appointment, 0x8233, PT_BINARY}};
    std::vector<ULONG> named;
    for (int i = 0; i < n; ++i) {
        ComPtr<IMessage> msg;
        if (FAILED(folder->CreateMessage(nullptr, 0, msg.put()))) return false;
        if (named.empty() && (named = nx::bench::NamedTags(msg.get(), kNamed)).empty()) return false;
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

}  // namespace

int main(int argc, char** argv) {
    static const nx::bench::ReadKind kCalendarKind = {
        "nxcalendar-bench",
        "appointments",
        "NX_CALENDAR_BENCH_COUNT",
        "NX_CALENDAR_BENCH_SCALE",
        u"IPM.Appointment",
        nx::agent::kDeliverCalendar,
        &NAMESPACE_MAPI::CMAPIObject::EventFolder,
        &NAMESPACE_MAPI::CMAPIObject::SetCalendarSink,
        nx::agent::SendCalendar,
        &NAMESPACE_MAPI::CMAPIObject::ReadCalendars,
        [](const std::string& id) { return "<event><id>" + id + "</id></event>"; },
        &NAMESPACE_MAPI::CMAPIObject::SetCalendarFolder,
        Fill,
        "SetCalendarFolder",
        "ReadCalendars",
    };
    return nx::bench::RunReadBenchmarks(argc, argv, kCalendarKind);
}
