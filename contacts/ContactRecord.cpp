#include "contacts/ContactRecord.h"

#include <chrono>

#include "common/TimeZone.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;

CDateTime CurrentLocalTime() {
    // The clock's UTC instant as a file time, then the machine's zone, as the local-time query
    // of the platform would give it.
    const auto sinceUnix =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    const uint64_t ticks =
        static_cast<uint64_t>(sinceUnix.count()) * kFileTicksPerSecond + kFileTimeUnixEpoch;
    FILETIME ft{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    SYSTEMTIME utc{};
    CDateTime local(0.0, CDateTime::invalid);
    if (NAMESPACE_COMMON::FileTimeToSystemTime(ft, utc)) NAMESPACE_COMMON::UtcToLocal(utc, local);
    if (local.GetStatus() != CDateTime::valid) return local;
    // The round-trip rule: the value must give back the fields it was made of.
    SYSTEMTIME fields{};
    if (!local.GetAsSystemTime(fields)) return CDateTime(local.GetValue(), CDateTime::invalid);
    return CDateTime(fields);
}

void CContactEx::Reset() {
    m_lFlag = 0;
    m_arrInfo.clear();
    m_strPIMID.clear();
    m_strCsFolder.clear();
    m_dtModified = CurrentLocalTime();
    m_dtStamp = m_dtModified;
}

int CContactEx::AddInfo(int32_t fieldId, std::string value) {
    if (value.empty()) return 0;
    m_arrInfo.emplace_back(fieldId, std::move(value));
    return 1;
}

const CContactInfoEx* CContactEx::FindInfo(int32_t fieldId) const {
    for (const CContactInfoEx& info : m_arrInfo)
        if (info.m_nFieldId == fieldId) return &info;
    return nullptr;
}

}  // namespace NAMESPACE_MAPI
