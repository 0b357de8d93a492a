#include "agent/HandlerSupport.h"

#include "agent/AgentConfig.h"
#include "common/LogFile.h"

namespace nx::agent {

void ApplyMapiConfig(NAMESPACE_MAPI::CMAPIObject& object) {
    const AgentConfig& c = Config();
    object.SetConfig({c.subFolder, c.foldersDocumentPath, c.profilesDocumentPath, c.workFolder});
}

std::u16string BufferText(std::string_view text, std::size_t bufferUnits) {
    std::u16string units = nx::sys::Utf8ToUtf16(text);
    // The terminating zero takes the last unit of the buffer.
    if (units.size() + 1 > bufferUnits) units.clear();
    return units;
}

int32_t AnswerItemWrite(const ItemWriteAnswer& answer, IdentifierOut identifier, TimeTextOut time,
                        const char* procedure) {
    try {
        const std::u16string id = BufferText(answer.identifier, IdentifierOut::kUnits);
        if (id.empty() && !answer.identifier.empty())
            CLogFile::Trace("%s - PIMID of %zu units does not fit the host's buffer: not sent\r\n", procedure,
                            nx::sys::Utf16Length(answer.identifier));
        identifier.Set(id);
        time.Set(BufferText(answer.modified.Format(NAMESPACE_COMMON::kDateTimePattern), TimeTextOut::kUnits));
        return answer.result;
    } catch (const std::exception&) {
        // Nothing may leave a handler: an allocation failure here still answers the failure.
        identifier.Clear();
        time.Clear();
        return 1;
    }
}

}  // namespace nx::agent
