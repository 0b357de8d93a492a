// Procedure 14: the contacts as the read flow (mapi/ItemRead.cpp) sees them. One document per
// contact: CsFolder, [lFlag], the row's elements, PIMID and the message's elements
// (contacts/ContactXml.h); a deleted contact is a notice of lFlag, PIMID and LastModifiedTime.
#include "common/LogFile.h"
#include "contacts/ContactXml.h"
#include "mapi/ItemRead.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;

namespace {

constexpr ItemReadKind kContactRead{kContactFolders,
                                    u"contact",
                                    "Contact",
                                    &CMAPIObject::GetContactCount,
                                    {.read = "ReadContacts",
                                     .part = "ReadContacts",
                                     .folderFirst = true,
                                     .partFramed = false,
                                     .outcomeLines = false,
                                     .countOwner = "ReadContacts",
                                     .countNoun = "Contact",
                                     .fullRead = "Read All Items(NULL lParam1)",
                                     .nothingToRead = nullptr,
                                     .folderReadFailed = "Failed to read contacts from folder",
                                     .changeRead = "Read Changed Items",
                                     .logReadFailed = "Failed to read contacts from log",
                                     .fromFolder = "ReadContactFromFolder",
                                     .fromFolderOpening = "Begin",
                                     .snapshot = "ReadContactLogFromFolder",
                                     .fromLog = "ReadContactFromLog",
                                     .deliverCall = "DeliverContact",
                                     .afterNotice = "--------------------xxxxxxxxxxxxxxxx - failed"}};

class ContactDocuments final : public ItemDocuments {
public:
    explicit ContactDocuments(const std::string& workFolder) { m_state.workFolder = workFolder; }

    void Start(const NAMESPACE_COMMON::TimeZoneSource& zone) override { m_state.zone = zone; }
    LPSPropTagArray Columns() override { return m_columns.get(); }
    void AddRowElements(CXMLParser& document, std::string& pimid, const SPropValue* values,
                        ULONG count) override {
        AppendContactRowXml(document, pimid, values, count, m_state.zone);
    }
    void AddMessageElements(CXMLParser& document, IMessage* message) override {
        AppendContactMessageXml(document, message, m_state);
    }
    void WaitBeforeFileWrites(std::function<bool()> wait) override {
        m_state.beforeFileWrite = std::move(wait);
    }
    bool BuildDeletionNotice(CXMLParser& notice, const DeletedEntry& entry) override {
        if (!notice.Init()) return false;
        notice.CreateHeader();
        CLogFile::Trace("--------------------*********88882 - failed\r\n");
        notice.CreateRoot("Contact");
        notice.CreateChildNode("lFlag", std::to_string(entry.flags).c_str(), CXMLNode(), 1, 1);
        notice.CreateChildNode("PIMID", entry.pimid.c_str(), CXMLNode(), 1, 1);
        // Only a time the host can read: valid, and from 1901 on.
        SYSTEMTIME fields{};
        if (entry.modified.IsValid() && entry.modified.GetAsSystemTime(fields) && fields.wYear >= 1901)
            notice.CreateChildNode("LastModifiedTime",
                                   entry.modified.Format(NAMESPACE_COMMON::kDateTimePattern).c_str(),
                                   CXMLNode(), 1, 1);
        CLogFile::Trace("--------------------yyyyyyyyyyyyyyyy - failed\r\n");
        return true;
    }

private:
    CContactReadState m_state;
    ColumnTags<kContactColumnCount> m_columns{ContactColumns()};
};

}  // namespace

int CMAPIObject::ReadContacts(const char* /*first*/, const char* anchor, MAPIObjectGuard* held) {
    ContactDocuments documents(m_Config.workFolder);
    return ReadItems(kContactRead, documents, m_lpContactFolder.get(), m_ContactSink, anchor, held);
}

}  // namespace NAMESPACE_MAPI
