// Contact change reads end to end (the tests every kind shares are in ChangeReadTests.h), and the
// trace of a scripted session line by line.
#include <gtest/gtest.h>

#include "tests/e2e_contacts/ChangeReadTests.h"
#include "tests/support/GoldenTrace.h"

namespace nx::e2e {
namespace {

std::string Name(const std::string& n) {
    return R"({"tag":"PR_GIVEN_NAME_W","value":")" + n + R"("})";
}

INSTANTIATE_TEST_SUITE_P(
    Contacts, ChangeReadE2E,
    ::testing::Values(ChangeReadKind{
        "ReadContacts",
        "contact",
        "FirstName",
        "CMAPIObject::ReadContacts",
        [](ContactsWorld& w, const std::string& name) { return w.PutContact(kContacts, Name(name)); },
        R"({"properties":[{"tag":"PR_NICKNAME_W","value":"Annie"}]})",
        "NickName",
        "Annie",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Contact>\n\t<lFlag>32</lFlag>\n\t<PIMID>",
        "</PIMID>\n\t",
        {}}));

TEST(ChangeReadE2E, ScriptedSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_WORLD();
    ContactsWorld w;
    const std::string ada = w.PutContact(kContacts, Name("Ada"));
    w.RunScript("contacts-full-read");
    ExpectTraceMatchesGolden(w.NamedTrace({{ada, "{Ada}"}}), "contacts-full-read");
}

}  // namespace
}  // namespace nx::e2e
