// Documents from the host: LoadXML, then the reads the item parsers make, then a serialisation
// that a strict XML 1.0 reader accepts and that loads again with the same texts (as documents
// carry them: ToXmlText of what was read).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/XMLParser.h"
#include "tests/support/StrictXml.h"

using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;

namespace {

// The texts the item parsers read: a few children of the root, then the root's whole text.
std::vector<std::string> ReadTexts(const CXMLParser& parser, const std::string& rootName) {
    std::vector<std::string> texts;
    for (const char* child : {"FullName", "PIMID", "lFlag", "dtStartTime", "TimeZone", "Body", "a"})
        texts.push_back(CXMLParser::GetNodeText(parser.SelectNode("/" + rootName + "/" + child)));
    texts.push_back(CXMLParser::GetNodeText(parser.GetRoot()));
    return texts;
}

// Whether every name in a serialised document is ASCII. Other names are the host's own (the
// agent names its elements in ASCII) and strict readers differ on which of them are names (expat
// keeps the older editions' tables), so only texts are held to expat's verdict.
bool NamesAreAscii(std::string_view xml) {
    bool inTag = false;
    bool inValue = false;
    for (std::size_t i = 0; i < xml.size(); ++i) {
        const char c = xml[i];
        if (!inTag) {
            // Serialised text escapes "<"; a section holds blanks only.
            if (c == '<' && xml.compare(i, 9, "<![CDATA[") != 0) inTag = true;
        } else if (inValue) {
            if (c == '"') inValue = false;
        } else if (c == '"') {
            inValue = true;
        } else if (c == '>') {
            inTag = false;
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

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
    std::vector<std::string> texts = ReadTexts(parser, rootName);
    for (std::string& t : texts) t = NAMESPACE_COMMON::ToXmlText(t);

    const std::string xml = parser.GetXML();
    if (NamesAreAscii(xml) && !nx::test::StrictXmlError(xml).empty()) std::abort();
    CXMLParser again;
    if (!again.Init()) return 0;
    again.LoadXML(xml);
    if (!again.GetRoot() || again.GetRoot().GetName() != rootName) std::abort();
    if (ReadTexts(again, rootName) != texts) std::abort();
    // A serialised document is a fixed point: it serialises to itself.
    if (again.GetXML() != xml) std::abort();
    return 0;
}
