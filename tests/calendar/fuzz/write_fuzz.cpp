// Calendar writes from the host's document text to a saved message, in a throwaway store (a world
// of its own, tests/support/TempWorld.h, made once per process). Each input is written as the
// host asked (whatever its flags and identifier name), then as a new appointment, updated with
// itself and read back into the outbound document, and deleted, so the store stays small.
// Whatever the document says, a new appointment is saved and named, the update succeeds, the
// document read back is XML 1.0, and the deletion removes it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "calendar/AppointmentXml.h"
#include "calendar/CalendarEx.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactXml.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Module.h"
#include "tests/support/StrictXml.h"
#include "tests/support/TempWorld.h"

using namespace NAMESPACE_MAPI;

namespace {

class ThrowawayStore {
public:
    ThrowawayStore() {
        m_world.SetEnv("TZ", "Europe/Berlin");
        if (!LoadMapiLibrary(NX_BIN_DIR) || !LoadMapiFunctions()) std::abort();
        m_admin = nx::sys::LoadedModule::Open(std::string(NX_BIN_DIR) + "/libmapi32.so");
        using InitDefault = int32_t();
        auto* init = reinterpret_cast<InitDefault*>(m_admin.Symbol("NxMapiAdminInitDefault"));
        if (init == nullptr || init() != 0 || m_mapi.MAPILogOn(nullptr, "") != 1) std::abort();
    }
    ~ThrowawayStore() { m_mapi.MAPILogOff(); }
    CMAPIObject& Mapi() { return m_mapi; }

private:
    nx::test::TempWorld m_world{"fuzz-calendar-write"};
    nx::sys::LoadedModule m_admin;
    CMAPIObject m_mapi;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ThrowawayStore store;
    CMAPIObject& mapi = store.Mapi();
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // As the host sent it: any flags, any identifier (an update or a deletion of whatever it names
    // in this store, which is the fuzzer's own).
    CCalendarEx record;
    ParseCalendarXML(text, record);
    if (mapi.WriteCalendars(&record) != 0) std::abort();
    if (!record.PIMID.empty() && (record.lFlag & NX_LOG_NEW) == 0) {
        // It added an item (or named one): gone again, so the store stays small.
        record.lFlag = NX_LOG_DELETED;
        mapi.WriteCalendars(&record);
    }

    // As a new appointment: saved and named whatever the document holds.
    record.Clear();
    ParseCalendarXML(text, record);
    record.lFlag = NX_LOG_NEW;
    record.lCalType = kWritableCalType;
    if (mapi.WriteCalendars(&record) != 0 || record.lFlag != 0 || record.PIMID.size() != 60) std::abort();
    const std::string id = record.PIMID;

    record.Clear();
    ParseCalendarXML(text, record);
    record.lFlag = NX_LOG_CHANGED;
    record.lCalType = kWritableCalType;
    record.PIMID = id;
    if (mapi.WriteCalendars(&record) != 0 || record.lFlag != 0) std::abort();

    // What a read would send for it is a document the host can parse.
    ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(mapi.EventFolder(), id);
    if (!message) std::abort();
    NAMESPACE_COMMON::CXMLParser document;
    if (!CreateCalendarDocument(document)) std::abort();
    CAppointmentReadState state{LocalZone(), mapi.LocalTimeZone(), {}};
    AppointmentMessageToXml(document, message.get(), state);
    if (!nx::test::StrictXmlError(document.GetXML()).empty()) std::abort();
    message.reset();

    record.Clear();
    record.lFlag = NX_LOG_DELETED;
    record.PIMID = id;
    if (mapi.WriteCalendars(&record) != 0 || record.lFlag != 0) std::abort();
    return 0;
}
