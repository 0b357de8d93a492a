// The contact record: one contact as the agent holds it between a document and the store, in
// both directions. A record is a kind (100), change flags, the PIMID (the message's entry id as
// upper-case hex), the folder text of CsFolder, the modification time and an ordered list of
// field items (field id + text; ids from ContactFields.h).
//
// Records live for one procedure call: the write procedure parses an inbound document into one,
// the read loops keep one as scratch. Field items are kept in the order they were added, each id
// at most once when filled by the parser (AddInfo itself does not check).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "journal/Deltatrack.h"

namespace NAMESPACE_MAPI {

inline constexpr int32_t kContactRecordKind = 100;

// A record's change flags (m_lFlag, a document's lFlag) are the journal's: NX_LOG_NEW,
// NX_LOG_CHANGED, NX_LOG_DELETED (journal/Deltatrack.h).

class CContactInfoEx {
public:
    CContactInfoEx() = default;
    CContactInfoEx(int32_t fieldId, std::string value) : m_nFieldId(fieldId), m_strValue(std::move(value)) {}
    virtual ~CContactInfoEx() = default;
    CContactInfoEx(const CContactInfoEx&) = default;
    CContactInfoEx& operator=(const CContactInfoEx&) = default;

    int32_t m_nType = kContactRecordKind;
    int32_t m_nFieldId = 0;
    std::string m_strValue;        // exactly as received, not trimmed
    std::string m_strPicturePath;  // a picture file of the contact; only ever on the name item (id 5)
};

class CContactEx {
public:
    CContactEx() { Reset(); }
    virtual ~CContactEx() = default;

    // Flags 0, no items, empty PIMID and folder text, both times the current local time (valid
    // when the local time converts to a date value and back unchanged, else invalid).
    void Reset();

    // Appends an item with the id and the value; 0 (and nothing added) for an empty value.
    int AddInfo(int32_t fieldId, std::string value);

    // The item of the id, or null.
    const CContactInfoEx* FindInfo(int32_t fieldId) const;

    int32_t m_nType = kContactRecordKind;
    int32_t m_lFlag = 0;
    std::vector<CContactInfoEx> m_arrInfo;
    std::string m_strPIMID;
    std::string m_strCsFolder;
    NAMESPACE_COMMON::CDateTime m_dtModified;
    NAMESPACE_COMMON::CDateTime m_dtStamp;
};

// The current local time as a date value, by the round-trip rule above.
NAMESPACE_COMMON::CDateTime CurrentLocalTime();

}  // namespace NAMESPACE_MAPI
