// Calendar change reads end to end (the tests every kind shares are in
// tests/e2e_contacts/ChangeReadTests.h), and the trace of a scripted full and change read line by
// line.
#include <gtest/gtest.h>

#include "tests/e2e_contacts/ChangeReadTests.h"
#include "tests/support/GoldenTrace.h"

namespace nx::e2e {
namespace {

// The properties of a one-hour appointment named `subject`.
std::string Meeting(const std::string& subject) {
    return R"({"tag":"PR_SUBJECT_W","value":")" + subject +
           R"("},{"named":"PidLidAppointmentStartWhole","value":"2026-02-02T09:00:00Z"},)"
           R"({"named":"PidLidAppointmentEndWhole","value":"2026-02-02T10:00:00Z"})";
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, ChangeReadE2E,
    ::testing::Values(ChangeReadKind{
        "ReadCalendars",
        "calendar",
        "Description",
        "CMAPIObject::ReadCalendarEvent",
        [](ContactsWorld& w, const std::string& name) { return w.PutAppointment(kCalendar, Meeting(name)); },
        R"({"properties":[{"named":"PidLidLocation","value":"Room 9"}]})",
        "Location",
        "Room 9",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>\n\t<lFlag>32</lFlag>\n\t<PIMID>",
        "</PIMID>\n\t<lCalType>3</lCalType>\n\t",
        {{"CsFolder", "Calendar"}, {"lCalType", "3"}}}));

TEST(CalendarChangeReadE2E, ScriptedSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_WORLD();
    ContactsWorld w;
    const std::string review = w.PutAppointment(kCalendar, Meeting("review"));
    w.RunScript("calendar-change-read");
    ExpectTraceMatchesGolden(w.NamedTrace({{review, "{review}"}}), "calendar-change-read");
}

}  // namespace
}  // namespace nx::e2e
