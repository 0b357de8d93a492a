// A strict XML 1.0 reader (expat) as the host's parsers read: the tests' judge of whether a
// document the agent writes or sends is well-formed XML 1.0 in UTF-8.
#pragma once

#include <expat.h>

#include <string>
#include <string_view>

namespace nx::test {

// "" when the text is one well-formed XML 1.0 document, else expat's reason and position.
inline std::string StrictXmlError(std::string_view text) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (parser == nullptr) return "expat: no parser";
    std::string error;
    // Fed in one piece: the length fits an int for every document a test builds.
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_ERROR) {
        error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                std::to_string(XML_GetCurrentLineNumber(parser)) + " column " +
                std::to_string(XML_GetCurrentColumnNumber(parser));
    }
    XML_ParserFree(parser);
    return error;
}

}  // namespace nx::test
