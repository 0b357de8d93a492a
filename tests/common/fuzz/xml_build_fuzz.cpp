// Documents the agent builds from texts it does not control (folder names, item fields): any
// bytes as element texts and attribute values give a document a strict XML 1.0 reader accepts,
// and the agent's own loader reads each text back as ToXmlText of it.
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
using NAMESPACE_COMMON::ToXmlText;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is a list of texts separated by NUL (a C string cannot hold one anyway).
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            texts.emplace_back();
        else
            texts.back().push_back(static_cast<char>(data[i]));
    }
    CXMLParser built;
    if (!built.Init() || !built.CreateHeader()) return 0;
    const CXMLNode root = built.CreateRoot("folders");
    if (!root) std::abort();
    for (size_t i = 0; i < texts.size(); ++i) {
        // Every text as a folder's name element and as its attribute; odd ones nest deeper.
        const CXMLNode node = built.CreateChildNode("node", nullptr, root, 1, 1);
        if (!node || !CXMLParser::SetAttribute("class", texts[i].c_str(), node)) std::abort();
        if (!built.CreateChildNode("fname", texts[i].c_str(), node, 1, i % 2 == 0 ? 2 : -1)) std::abort();
    }
    const std::string xml = built.GetXML();
    if (!nx::test::StrictXmlError(xml).empty()) std::abort();

    CXMLParser read;
    if (!read.Init()) return 0;
    read.LoadXML(xml);
    if (!read.GetRoot()) std::abort();
    // The first folder's name is what the host would show; every name is in the root's text.
    std::string all;
    for (const std::string& t : texts) all += ToXmlText(t);
    if (CXMLParser::GetNodeText(read.SelectNode("/folders/node/fname")) != ToXmlText(texts[0])) std::abort();
    if (CXMLParser::GetNodeText(read.GetRoot()) != all) std::abort();
    return 0;
}
