#include <gtest/gtest.h>

#include <string>

#include "common/XMLParser.h"
#include "tests/support/GoldenTrace.h"

using namespace NAMESPACE_COMMON;

namespace {

void Start(CXMLParser& p, const char* root) {
    ASSERT_TRUE(p.Init());
    ASSERT_TRUE(p.CreateHeader());
    ASSERT_TRUE(p.CreateRoot(root));
}

}  // namespace

// The committed bytes of a document built at every indentation level.
TEST(CXMLParserGolden, BuiltDocumentSerialisesToTheCommittedBytes) {
    CXMLParser p;
    Start(p, "Contact");
    EXPECT_TRUE(CXMLParser::SetAttribute("version", "1", p.GetRoot()));
    ASSERT_TRUE(p.CreateChildNode("lFlag", "8", CXMLNode(), 1, -1));
    ASSERT_TRUE(p.CreateChildNode("PIMID", "000AFF", CXMLNode(), 1, 0));
    const CXMLNode name = p.CreateChildNode("FullName", "Tom & Jerry <tj@example.com>", CXMLNode(), 1, 1);
    ASSERT_TRUE(name);
    EXPECT_TRUE(CXMLParser::SetAttribute("IMType", "\"1\"", name));
    const CXMLNode group = p.CreateChildNode("node", nullptr, CXMLNode(), 1, 1);
    ASSERT_TRUE(group);
    ASSERT_TRUE(p.CreateChildNode("fname",
                                  "Gr\xC3\xBC\xC3\x9F"
                                  "e \xE2\x82\xAC",
                                  group, 1, 2));
    ASSERT_TRUE(p.CreateChildNode("id", "", group, 1, 2));
    p.AddIndent(1, group);
    ASSERT_TRUE(p.CreateChildNode("Body", "line1\r\nline2\ttab", CXMLNode(), 1, 1));
    ASSERT_TRUE(p.CreateChildNode("Empty", nullptr, CXMLNode(), 1, 1));
    p.AddIndent(0, p.GetRoot());
    nx::e2e::ExpectMatchesGoldenDocument(p.GetXML(), "built_document.xml");
}
