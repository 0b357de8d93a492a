#include "mapi/TraceScope.h"

#include <exception>

#include "common/LogFile.h"

namespace NAMESPACE_MAPI {

CTraceScope::CTraceScope(const char* name, Finish finish, const char* separator, const char* opening)
    : m_name(name), m_separator(separator), m_finish(finish) {
    CLogFile::Trace("CMAPIObject::%s%s%s\r\n", m_name, m_separator, opening);
}

CTraceScope::~CTraceScope() {
    if (!m_finishLine) return;
    // A trace line that cannot be formatted (no memory) is dropped: nothing may leave a destructor.
    try {
        switch (m_finish) {
            case Finish::kPlain:
                CLogFile::Trace("CMAPIObject::%s%sFinish\r\n", m_name, m_separator);
                break;
            case Finish::kOutcome:
                CLogFile::Trace("CMAPIObject::%s%sFinish(%s)\r\n", m_name, m_separator,
                                m_result != 0 ? "Succeeded" : "Failed");
                break;
            case Finish::kNumber:
                CLogFile::Trace("CMAPIObject::%s%sFinish(%d)\r\n", m_name, m_separator, m_result);
                break;
        }
    } catch (const std::exception&) {
    }
}

void CTraceScope::Line(const char* text) const {
    CLogFile::Trace("CMAPIObject::%s%s%s\r\n", m_name, m_separator, text);
}

void CTraceScope::Status(const char* call, HRESULT hr) const {
    CLogFile::Trace("CMAPIObject::%s - %s(0X%08X)\r\n", m_name, call, Hr(hr));
}

void CTraceScope::Fail(const char* text) {
    Line(text);
    m_finishLine = false;
}

}  // namespace NAMESPACE_MAPI
