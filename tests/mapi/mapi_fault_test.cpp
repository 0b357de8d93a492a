// CMAPIObject over a runtime that fails on request (fault_mapi32.cpp, bound through the same
// ten-entry table as the real one): the error branches of the listings.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "common/MapiFunctions.h"
#include "mapi/MAPIObject.h"
#include "tests/mapi/MapiTestWorld.h"

namespace {

using NAMESPACE_MAPI::CMAPIObject;
using FailQueryAllRows = void(int nth, HRESULT hr);

// Binds the agent's table to the double before any test binds the real runtime.
FailQueryAllRows* BindFaultRuntime() {
    static FailQueryAllRows* const control = [] {
        if (!LoadMapiLibrary(NX_FAULT_MAPI_DIR) || !LoadMapiFunctions())
            return static_cast<FailQueryAllRows*>(nullptr);
        // The same module again (already loaded): only to reach its control.
        void* module = ::dlopen(NX_FAULT_MAPI_DIR "/libmapi32.so", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        return module ? reinterpret_cast<FailQueryAllRows*>(::dlsym(module, "NxFailQueryAllRows")) : nullptr;
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
        if (fail) fail(0, S_OK);
        mapi.MAPILogOff();
    }

    FailQueryAllRows* fail = nullptr;
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
        fail(c.nth, MAPI_E_CALL_FAILED);
        std::string doc = "untouched";
        EXPECT_EQ(mapi.GetAppFolder("x", &doc), c.result) << c.what;
        EXPECT_EQ(doc == "untouched", c.result == 1) << c.what;
        fail(0, S_OK);
    }
    // The profile table's rows: no document, result 1 (an empty list would say "no profiles").
    fail(1, MAPI_E_NOT_ENOUGH_MEMORY);
    std::string doc = "untouched";
    EXPECT_EQ(mapi.GetAppProfile("x", &doc), 1);
    EXPECT_EQ(doc, "untouched");
}

}  // namespace
