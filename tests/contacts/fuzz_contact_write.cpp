// Any text as the host's contact document, through the parse and into a throwaway store: the
// parse gives a valid record (each field at most once, no empty value but the picture carrier),
// the write of that record as a new contact is saved (whatever its values), and the contact is
// deleted again. A crash, a failed save or a record out of shape aborts.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "common/MapiFunctions.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactWrite.h"
#include "mapi/MAPIObject.h"
#include "platform/mapi32/Admin.h"
#include "tests/support/TempWorld.h"

namespace {

void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s\n%s\n", what, text.c_str());
    std::abort();
}

// One store for the whole run, in a temporary world that goes when the process ends.
struct Store {
    nx::test::TempWorld world{"fuzz-contact-write"};
    NAMESPACE_MAPI::CMAPIObject mapi;
    bool ready = false;

    Store() {
        if (!LoadMapiLibrary(NX_BIN_DIR) || !LoadMapiFunctions()) return;
        void* lib = dlopen(NX_BIN_DIR "/libmapi32.so", RTLD_NOW | RTLD_LOCAL);
        auto init =
            lib ? reinterpret_cast<decltype(&NxMapiAdminInitDefault)>(dlsym(lib, "NxMapiAdminInitDefault"))
                : nullptr;
        ready = init && init() == S_OK && mapi.MAPILogOn(nullptr, "") == 1;
    }
    ~Store() { mapi.MAPILogOff(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Store store;
    const std::string text(reinterpret_cast<const char*>(data), size);
    NAMESPACE_MAPI::CContactEx record;
    NAMESPACE_MAPI::XmlToContactEx(text, record);

    std::set<int32_t> seen;
    for (std::size_t i = 0; i < record.m_arrInfo.size(); ++i) {
        const auto& info = record.m_arrInfo[i];
        if (NAMESPACE_MAPI::FindContactField(info.m_nFieldId) == nullptr)
            Fail("an id outside the table", text);
        if (!seen.insert(info.m_nFieldId).second) Fail("an id twice", text);
        // Only the item PICPath adds to carry the picture of a nameless contact may be empty.
        if (info.m_strValue.empty() &&
            (info.m_nFieldId != NAMESPACE_MAPI::kFieldFullName || i + 1 != record.m_arrInfo.size()))
            Fail("an empty value", text);
    }
    if (!store.ready) Fail("no throwaway store (libmapi32.so missing from the build?)", text);

    record.m_lFlag = NX_LOG_NEW;
    if (store.mapi.WriteContacts(&record) != 0 || record.m_lFlag != 0 || record.m_strPIMID.empty())
        Fail("the contact was not saved", text);
    record.m_lFlag = NX_LOG_DELETED;
    if (store.mapi.WriteContacts(&record) != 0 || record.m_lFlag != 0)
        Fail("the contact was not deleted", text);
    return 0;
}
