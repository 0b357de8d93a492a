// The change read of procedure 14 (the journal's side).
#include "common/LogFile.h"
#include "mapi/MAPIObject.h"

namespace NAMESPACE_MAPI {

int CMAPIObject::ReadContactChanges(ULONG /*cbEntryId*/, const BYTE* /*entryId*/,
                                    const std::string& /*folderName*/, const char* /*anchor*/) {
    // Until the change journal is linked, a change read cannot be answered.
    CLogFile::Trace("CMAPIObject::ReadContacts - Failed to read contacts from log\r\n");
    return 1;
}

}  // namespace NAMESPACE_MAPI
