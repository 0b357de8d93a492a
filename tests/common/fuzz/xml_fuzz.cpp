// Documents from the host: LoadXML, then the reads the item parsers make, then a serialisation
// that must load again with the same texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/XMLParser.h"

using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CXMLParser parser;
    if (!parser.Init()) return 0;
    parser.LoadXML(text);
    const CXMLNode root = parser.GetRoot();
    if (!root) {
        if (!parser.GetXML().empty()) std::abort();  // a failed load leaves nothing
        return 0;
    }
    const std::string rootName = root.GetName();
    std::string texts;
    for (const char* child : {"FullName", "PIMID", "lFlag", "dtStartTime", "TimeZone", "Body", "a"}) {
        const CXMLNode node = parser.SelectNode("/" + rootName + "/" + child);
        texts += CXMLParser::GetNodeText(node);
        texts.push_back('\x1F');
    }
    texts += CXMLParser::GetNodeText(root);

    CXMLParser again;
    if (!again.Init()) return 0;
    again.LoadXML(parser.GetXML());
    if (!again.GetRoot()) std::abort();
    std::string textsAgain;
    for (const char* child : {"FullName", "PIMID", "lFlag", "dtStartTime", "TimeZone", "Body", "a"}) {
        textsAgain += CXMLParser::GetNodeText(again.SelectNode("/" + rootName + "/" + child));
        textsAgain.push_back('\x1F');
    }
    textsAgain += CXMLParser::GetNodeText(again.GetRoot());
    if (texts != textsAgain) std::abort();
    return 0;
}
