// CMAPIObject over a runtime that fails on request (fault_mapi32.cpp, bound through the same
// ten-entry table as the real one): the error branches of logon, the listings, the selection and
// the change read.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/MapiFunctions.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Module.h"
#include "platform/system/Paths.h"
#include "tests/mapi/MapiTestWorld.h"

namespace {

using NAMESPACE_MAPI::CMAPIObject;
using FailCall = void(const char* call, int nth, HRESULT hr);

// Binds the agent's table to the double before any test binds the real runtime.
FailCall* BindFaultRuntime() {
    static FailCall* const control = [] {
        if (!LoadMapiLibrary(NX_FAULT_MAPI_DIR) || !LoadMapiFunctions())
            return static_cast<FailCall*>(nullptr);
        // The same module again (already loaded, kept so for the process): only to reach its control.
        static const nx::sys::LoadedModule module =
            nx::sys::LoadedModule::Open(nx::sys::JoinPath(NX_FAULT_MAPI_DIR, kMapiLibraryName));
        return reinterpret_cast<FailCall*>(module.Symbol("NxFailCall"));
    }();
    return control;
}

class MapiFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        fail = BindFaultRuntime();
        ASSERT_NE(fail, nullptr) << "the fault runtime does not load";
        NX_REQUIRE_MAPI_RUNTIME();
        world = std::make_unique<nx::test::MapiTestWorld>();
        world->Admin({"init"});
    }
    void TearDown() override {
        if (fail)
            for (const char* call : {"HrQueryAllRows", "GetMsgStoresTable", "OpenMsgStore"})
                fail(call, 0, S_OK);
        mapi.MAPILogOff();
    }

    FailCall* fail = nullptr;
    std::unique_ptr<nx::test::MapiTestWorld> world;
    CMAPIObject mapi;
};

TEST_F(MapiFaultTest, UnreadableRowsAnswerFailureWithoutADocument) {
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    const struct {
        const char* what;
        int nth;  // which HrQueryAllRows call of the procedure fails
        int result;
    } cases[] = {
        {"stores table rows", 1, 1},  // answering 0 would let the host read an old file as fresh
        {"no fault", 0, 0},
    };
    for (const auto& c : cases) {
        fail("HrQueryAllRows", c.nth, MAPI_E_CALL_FAILED);
        std::string doc = "untouched";
        EXPECT_EQ(mapi.GetAppFolder("x", &doc), c.result) << c.what;
        EXPECT_EQ(doc == "untouched", c.result == 1) << c.what;
        fail("HrQueryAllRows", 0, S_OK);
    }
    // The profile table's rows: no document, result 1 (an empty list would say "no profiles").
    fail("HrQueryAllRows", 1, MAPI_E_NOT_ENOUGH_MEMORY);
    std::string doc = "untouched";
    EXPECT_EQ(mapi.GetAppProfile("x", &doc), 1);
    EXPECT_EQ(doc, "untouched");
}

TEST_F(MapiFaultTest, AStoresTableOrAStoreThatDoesNotOpen) {
    const std::string contacts =
        world->Admin({"folder", "show", "Personal Folders/Top of Personal Folders/Contacts"});
    // Logon needs both: without them there is no default store, so no session either.
    for (const char* call : {"GetMsgStoresTable", "OpenMsgStore"}) {
        fail(call, 1, MAPI_E_CALL_FAILED);
        EXPECT_EQ(mapi.MAPILogOn(nullptr, ""), 0) << call;
        EXPECT_EQ(mapi.ContactFolder(), nullptr) << call;
    }
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);

    // The folder list: without the stores table the host keeps the list it has (result 0, no
    // document, as it expects); a store that does not open is listed without its folders.
    const struct {
        const char* call;
        int result;
        const char* has;  // in the document ("untouched": none was made)
        const char* lacks;
    } lists[] = {
        {"GetMsgStoresTable", 0, "untouched", "Personal Folders"},
        {"OpenMsgStore", 0, "<fname>Personal Folders</fname>", "Contacts"},
        {"none", 0, "<fname>Contacts</fname>", "untouched"},
    };
    for (const auto& c : lists) {
        fail(c.call, 1, MAPI_E_CALL_FAILED);
        std::string doc = "untouched";
        EXPECT_EQ(mapi.GetAppFolder("x", &doc), c.result) << c.call;
        EXPECT_NE(doc.find(c.has), std::string::npos) << c.call << "\n" << doc;
        EXPECT_EQ(doc.find(c.lacks), std::string::npos) << c.call << "\n" << doc;
        fail(c.call, 0, S_OK);
    }

    // A selection by entry id looks in every store: with none to look in, it is refused and the
    // selected folder stays.
    ASSERT_EQ(mapi.SetContactFolder(""), 0);
    const IMAPIFolder* before = mapi.ContactFolder();
    for (const char* call : {"GetMsgStoresTable", "OpenMsgStore"}) {
        fail(call, 1, MAPI_E_CALL_FAILED);
        EXPECT_EQ(mapi.SetContactFolder(("<id>" + contacts + "</id>").c_str()), 1) << call;
        EXPECT_EQ(mapi.ContactFolder(), before) << call;
        fail(call, 0, S_OK);
    }
    EXPECT_EQ(mapi.SetContactFolder(("<id>" + contacts + "</id>").c_str()), 0);
}

// A change read whose snapshot cannot be read fails before the journal is asked: the next change
// read still finds the item new, and once that one went through nothing is new any more.
TEST_F(MapiFaultTest, AChangeReadWithoutItsSnapshotLeavesTheJournalAsItWas) {
    const std::string top = "Personal Folders/Top of Personal Folders/";
    world->PutItem(top + "Contacts", "IPM.Contact", "Ada");
    world->PutItem(top + "Calendar", "IPM.Appointment", "Tea");
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    std::vector<std::string> documents;
    const NAMESPACE_MAPI::DocumentSink sink = [&](std::string_view xml) {
        documents.emplace_back(xml);
        return 0u;
    };
    mapi.SetContactSink(sink);
    mapi.SetCalendarSink(sink);
    for (const bool calendar : {false, true}) {
        const auto read = [&] { return calendar ? mapi.ReadCalendars("", "a") : mapi.ReadContacts("", "a"); };
        // The read's HrQueryAllRows calls: the count's, whose rows the snapshot takes; the
        // snapshot's own only when the count's failed.
        const struct {
            int fault;  // the call that fails (-n: that one and every later one)
            int result;
            std::size_t documents;
        } steps[] = {
            {-1, 1, 0},  // no snapshot: nothing sent, the journal as it was
            {1, 0, 1},   // the count fails alone: the snapshot lists the folder itself
            {2, 0, 0},   // nothing changed: the folder is listed once, so a second call never comes
        };
        for (const auto& step : steps) {
            documents.clear();
            fail("HrQueryAllRows", step.fault, MAPI_E_CALL_FAILED);
            EXPECT_EQ(read(), step.result) << calendar << " fault " << step.fault;
            ASSERT_EQ(documents.size(), step.documents) << calendar << " fault " << step.fault;
            if (step.documents == 1) {
                EXPECT_NE(documents[0].find("<lFlag>8</lFlag>"), std::string::npos) << documents[0];
            }
            fail("HrQueryAllRows", 0, S_OK);
        }
    }
}

}  // namespace
