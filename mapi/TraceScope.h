// The trace lines of one CMAPIObject operation, written in one place. Every operation opens with
// "CMAPIObject::<name> - Begin" and ends with a Finish line; the scope writes the opening line when
// it is made and the Finish line when it ends, so an operation may return wherever it is done and
// the pair still closes. The line shapes are the ones the host's trace readers know:
//   separator  " - " for most operations, " : " for a few (MAPILogOff, MAPIRelease, GetAppProfile)
//   opening    "Begin" (the calendar's full read opens with "Finish")
//   Finish     "Finish", "Finish(Succeeded)" / "Finish(Failed)" or "Finish(%d)" of the result
// Some exits end an operation without its Finish line (a failure text alone, or nothing), as the
// host's trace readers know them: Fail and NoFinish say so where it happens.
#pragma once

#include "platform/mapi/Mapi.h"

namespace NAMESPACE_MAPI {

// A MAPI status as the trace shows it ("(0X%08X)" takes an unsigned).
inline unsigned Hr(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

class CTraceScope {
public:
    enum class Finish {
        kPlain,    // "Finish"
        kOutcome,  // "Finish(Succeeded)" for a non-zero result, "Finish(Failed)" for 0 (the default)
        kNumber,   // "Finish(%d)" of the result (0 unless set)
    };

    explicit CTraceScope(const char* name, Finish finish = Finish::kPlain, const char* separator = " - ",
                         const char* opening = "Begin");
    ~CTraceScope();
    CTraceScope(const CTraceScope&) = delete;
    CTraceScope& operator=(const CTraceScope&) = delete;

    // "CMAPIObject::<name><separator><text>".
    void Line(const char* text) const;
    // "CMAPIObject::<name> - <call>(0X%08X)": the status of one MAPI call (always with " - ").
    void Status(const char* call, HRESULT hr) const;
    // Ends the operation with `text` (as Line) in place of its Finish line.
    void Fail(const char* text);
    // Ends the operation without a Finish line.
    void NoFinish() { m_finishLine = false; }

    // The result the Finish line shows, handed back so that `return scope.Result(x);` reads as
    // the operation's answer.
    template <typename T>
    T Result(T result) {
        m_result = static_cast<int>(result);
        return result;
    }

    const char* Name() const { return m_name; }

private:
    const char* m_name;
    const char* m_separator;
    Finish m_finish;
    bool m_finishLine = true;
    int m_result = 0;
};

}  // namespace NAMESPACE_MAPI
