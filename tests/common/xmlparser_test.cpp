#include "common/XMLParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/StrictXml.h"
#include "tests/support/TempWorld.h"

using namespace NAMESPACE_COMMON;
using nx::test::StrictXmlError;

namespace {

// A parser holding <?xml?> and an empty root of the given name.
void Start(CXMLParser& p, const char* root = "Contact") {
    ASSERT_TRUE(p.Init());
    ASSERT_TRUE(p.CreateHeader());
    ASSERT_TRUE(p.CreateRoot(root));
}

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

}  // namespace

TEST(CXMLParser, CreateChildNodeIndentsAppendsAndFillsText) {
    const struct {
        const char* name;
        const char* text;
        int append;
        int level;
        bool returned;
        const char* body;  // the document between the declaration and the end
    } cases[] = {
        {"A", "x", 1, -1, true, "<Contact><A>x</A></Contact>\n"},
        {"A", "x", 1, 0, true, "<Contact>\n<A>x</A></Contact>\n"},
        {"A", "x", 1, 2, true, "<Contact>\n\t\t<A>x</A></Contact>\n"},
        {"A", nullptr, 1, 1, true, "<Contact>\n\t<A/></Contact>\n"},
        {"A", "", 1, 1, true, "<Contact>\n\t<A/></Contact>\n"},
        {"A", "x", 0, 1, true, "<Contact>\n\t</Contact>\n"},    // unattached, the indent stays
        {nullptr, "x", 1, 1, false, "<Contact/>\n"},            // no name: nothing at all
        {"1A", "x", 1, 1, false, "<Contact>\n\t</Contact>\n"},  // not an XML name
        {"A B", "x", 1, 1, false, "<Contact>\n\t</Contact>\n"},
    };
    for (const auto& c : cases) {
        CXMLParser p;
        Start(p);
        const CXMLNode node = p.CreateChildNode(c.name, c.text, CXMLNode(), c.append, c.level);
        EXPECT_EQ(static_cast<bool>(node), c.returned) << c.body;
        EXPECT_EQ(p.GetXML(), std::string(kDeclaration) + c.body);
    }
}

TEST(CXMLParser, BuildingOperationsFailWithoutTheirPrerequisites) {
    CXMLParser p;
    EXPECT_FALSE(p.CreateHeader());
    EXPECT_FALSE(p.CreateRoot("Contact"));
    EXPECT_FALSE(p.CreateChildNode("A", "x", CXMLNode(), 1, 1));
    EXPECT_EQ(p.GetXML(), "");
    EXPECT_FALSE(p.SelectNode("/Contact"));
    EXPECT_FALSE(p.SaveToFile("/dev/null"));
    p.LoadXML("<a/>");
    EXPECT_FALSE(p.GetRoot());

    ASSERT_TRUE(p.Init());
    EXPECT_FALSE(p.CreateRoot(nullptr));
    EXPECT_FALSE(p.CreateChildNode("A", "x", CXMLNode(), 1, 1)) << "no root, no parent";
    EXPECT_EQ(p.GetXML(), "");
    ASSERT_TRUE(p.CreateHeader());
    EXPECT_FALSE(p.CreateHeader()) << "only one declaration";
    const CXMLNode root = p.CreateRoot("Calendar");
    ASSERT_TRUE(root);
    EXPECT_EQ(p.GetRoot(), root);
    EXPECT_FALSE(p.CreateRoot("Second")) << "a document holds one document element";
    EXPECT_FALSE(p.GetRoot()) << "and the old root reference is dropped";
    EXPECT_EQ(p.GetXML(), std::string(kDeclaration) + "<Calendar/>\n");

    p.Release();
    EXPECT_FALSE(p.HasDocument());
    EXPECT_EQ(p.GetXML(), "");
}

TEST(CXMLParser, SetAttributeSetsOrReplaces) {
    CXMLParser p;
    Start(p, "folders");
    const CXMLNode root = p.GetRoot();
    EXPECT_TRUE(CXMLParser::SetAttribute("name", "outlook", root));
    EXPECT_TRUE(CXMLParser::SetAttribute("class", "a\"b<c>&\t\n\r", root));
    EXPECT_TRUE(CXMLParser::SetAttribute("name", "again", root));
    EXPECT_FALSE(CXMLParser::SetAttribute("x", nullptr, root));
    EXPECT_FALSE(CXMLParser::SetAttribute("x", "1", CXMLNode()));
    EXPECT_FALSE(CXMLParser::SetAttribute("1x", "1", root));
    EXPECT_FALSE(CXMLParser::SetAttribute(nullptr, "1", root));
    EXPECT_EQ(p.GetXML(), std::string(kDeclaration) +
                              "<folders name=\"again\" class=\"a&quot;b&lt;c>&amp;&#09;&#10;&#13;\"/>\n");
}

TEST(CXMLParser, SetNodeTextReplacesAllContent) {
    CXMLParser p;
    p.Init();
    p.LoadXML("<Calendar><lRecurType>1<b>x</b>y</lRecurType><e/></Calendar>");
    const CXMLNode type = p.SelectNode("/Calendar/lRecurType");
    EXPECT_TRUE(CXMLParser::SetNodeText(type, "2"));
    EXPECT_TRUE(CXMLParser::SetNodeText(p.SelectNode("/Calendar/e"), "a<&"));
    EXPECT_FALSE(CXMLParser::SetNodeText(type, nullptr));
    EXPECT_FALSE(CXMLParser::SetNodeText(CXMLNode(), "1"));
    EXPECT_EQ(p.GetXML(), "<Calendar><lRecurType>2</lRecurType><e>a&lt;&amp;</e></Calendar>\n");
    EXPECT_TRUE(CXMLParser::SetNodeText(type, ""));
    EXPECT_EQ(CXMLParser::GetNodeText(type), "");
}

TEST(CXMLParser, UnattachedElementsCanBeAppendedLater) {
    CXMLParser p;
    Start(p);
    const CXMLNode loose = p.CreateChildNode("Loose", "t", CXMLNode(), 0, -1);
    ASSERT_TRUE(loose);
    ASSERT_TRUE(p.CreateChildNode("Inner", "u", loose, 1, -1));
    EXPECT_TRUE(CXMLParser::SetAttribute("k", "v", loose));
    EXPECT_EQ(p.GetXML(), std::string(kDeclaration) + "<Contact/>\n");
    const CXMLNode placed = p.AppendChild(p.GetRoot(), loose);
    ASSERT_TRUE(placed);
    EXPECT_EQ(p.GetXML(),
              std::string(kDeclaration) + "<Contact><Loose k=\"v\">t<Inner>u</Inner></Loose></Contact>\n");
    EXPECT_EQ(CXMLParser::GetNodeText(p.SelectNode("/Contact/Loose")), "tu");
}

TEST(CXMLParser, SelectNodeFollowsAbsolutePathsInDocumentOrder) {
    CXMLParser p;
    ASSERT_TRUE(p.Init());
    p.LoadXML(
        "<Contact><FullName>first</FullName><Group><Item>g1</Item></Group><FullName>second</FullName>"
        "<Group><Item>g2</Item><Deep><Item>no</Item></Deep></Group><Empty/></Contact>");
    ASSERT_TRUE(p.GetRoot());
    const struct {
        const char* path;
        const char* text;  // null: nothing selected
    } cases[] = {
        {"/Contact/FullName", "first"},
        {"/Contact/Group/Item", "g1"},
        {"/Contact/Group/Deep/Item", "no"},
        {"/Contact/Empty", ""},
        {"/Contact", "firstg1secondg2no"},
        {"/Contact/Missing", nullptr},
        {"/Other/FullName", nullptr},  // first step is not the document element
        {"Contact/FullName", nullptr},
        {"//FullName", nullptr},
        {"/Contact/FullName[1]", nullptr},
        {"/Contact/*", nullptr},
        {"/Contact/@name", nullptr},
        {"/Contact/", nullptr},
        {"/", nullptr},
        {"", nullptr},
        {"/contact/fullname", nullptr},  // case-sensitive
    };
    for (const auto& c : cases) {
        const CXMLNode node = p.SelectNode(c.path);
        EXPECT_EQ(static_cast<bool>(node), c.text != nullptr) << c.path;
        if (c.text != nullptr) {
            EXPECT_EQ(CXMLParser::GetNodeText(node), c.text) << c.path;
        }
    }
    EXPECT_EQ(CXMLParser::GetNodeText(CXMLNode()), "");
}

TEST(CXMLParser, LoadXmlKeepsTextAsWrittenAndDropsTheRest) {
    const struct {
        const char* xml;
        const char* path;
        const char* text;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<C>\r\n\t<A>x</A>\r\n</C>\r\n", "/C/A", "x"},
        {"\xEF\xBB\xBF<C><A>bom</A></C>", "/C/A", "bom"},
        {"<C><A> padded </A></C>", "/C/A", " padded "},
        {"<C><A>\n\t</A></C>", "/C/A", "\n\t"},
        {"<C>\n\t<A>a</A>\n\t<B>b</B>\n</C>", "/C", "ab"},  // indentation between elements is dropped
        {"<C><A><![CDATA[<raw> & ]]></A></C>", "/C/A", "<raw> & "},
        {"<C><A>a<!-- note -->b<?pi x?>c</A></C>", "/C/A", "abc"},
        {"<!DOCTYPE C [<!ENTITY e \"boom\">]><C><A>&lt;&#x41;&#66;&amp;</A></C>", "/C/A", "<AB&"},
        {"<C><A>x\r\ny</A></C>", "/C/A", "x\r\ny"},
        {"<!DOCTYPE C><C><A>&name; &amp;</A></C>", "/C/A", "&name; &"},  // not expanded: literal text
    };
    for (const auto& c : cases) {
        CXMLParser p;
        ASSERT_TRUE(p.Init());
        p.LoadXML(c.xml);
        ASSERT_TRUE(p.GetRoot()) << c.xml;
        EXPECT_EQ(CXMLParser::GetNodeText(p.SelectNode(c.path)), c.text) << c.xml;
    }
}

TEST(CXMLParser, ALoadedDocumentSerialisesAsPlainText) {
    CXMLParser p;
    ASSERT_TRUE(p.Init());
    p.LoadXML(
        "<?xml version='1.0'?>\n<C k='v&amp;'>\n\t<A>x<![CDATA[y<]]><B/><![CDATA[z\r\n]]></A><!-- c --></C>");
    ASSERT_TRUE(p.GetRoot());
    EXPECT_EQ(CXMLParser::GetNodeText(p.SelectNode("/C/A")), "xy<z\r\n");
    EXPECT_EQ(p.GetXML(), "<C k=\"v&amp;\"><A>xy&lt;<B/>z&#13;\n</A></C>\n");

    // Blanks between elements survive only inside a section: as plain text they would read back
    // as indentation, that is as nothing.
    p.LoadXML("<C><A/><![CDATA[ \n]]><B/></C>");
    ASSERT_TRUE(p.GetRoot());
    EXPECT_EQ(CXMLParser::GetNodeText(p.GetRoot()), " \n");
    EXPECT_EQ(p.GetXML(), "<C><A/><![CDATA[ \n]]><B/></C>\n");
}

TEST(CXMLParser, ToXmlTextReplacesWhatXml10CannotCarry) {
    const std::string kR = "\xEF\xBF\xBD";
    const struct {
        std::string text;
        std::string carried;
    } cases[] = {
        {"tab\tLF\nCR\r", "tab\tLF\nCR\r"},
        {"\x01\x08\x0B\x0C\x1F\x7F", kR + kR + kR + kR + kR + "\x7F"},  // DEL is an XML 1.0 character
        {"\xEF\xBF\xBD\xEF\xBF\xBE\xEF\xBF\xBF", kR + kR + kR},         // U+FFFE, U+FFFF
        {"\xED\xA0\x80\xED\xBF\xBF", kR + kR},                          // each encoded surrogate is one
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},                               // U+D7FF
        {"\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {"\xF4\x90\x80\x80", kR + kR + kR + kR},           // beyond U+10FFFF: nothing of it could start one
        {"\xC0\xAF\xE0\x80\xAF", kR + kR + kR + kR + kR},  // overlong forms
        {"a\xE2\x82", "a" + kR},                           // cut short: one for the started character
        {"\xE2\x82x\x80", kR + "x" + kR},
        {"\xFF", kR},
    };
    for (const auto& c : cases) EXPECT_EQ(ToXmlText(c.text), c.carried) << c.text;
}

TEST(CXMLParser, ALoadedDocumentKeepsWhatTheHostSentAndWritesXml10) {
    const std::string kR = "\xEF\xBF\xBD";
    const struct {
        std::string xml;
        std::string text;     // of /C/A as loaded
        std::string written;  // GetXML
    } cases[] = {
        // Control characters sent as references are kept as read, written as U+FFFD.
        {"<C><A>v&#11;t&#x1F;</A></C>", "v\x0Bt\x1F", "<C><A>v" + kR + "t" + kR + "</A></C>\n"},
        {"<C><A a='&#1;&#9;'/></C>", "", "<C><A a=\"" + kR + "&#09;\"/></C>\n"},
        // Malformed UTF-8 is mended on reading, U+FFFE only on writing.
        {"<C><A>\xED\xA0\x80|\xFF</A></C>", kR + "|" + kR, "<C><A>" + kR + "|" + kR + "</A></C>\n"},
        {"<C><A>\xEF\xBF\xBE</A></C>", "\xEF\xBF\xBE", "<C><A>" + kR + "</A></C>\n"},
        {"<C><A k='\xC3'>x</A></C>", "x", "<C><A k=\"" + kR + "\">x</A></C>\n"},
        // Blanks that references wrote are content, also between elements.
        {"<C><A><B/>&#32;<B/>&#9;</A></C>", " \t", "<C><A><B/><![CDATA[ ]]><B/><![CDATA[\t]]></A></C>\n"},
    };
    for (const auto& c : cases) {
        CXMLParser p;
        ASSERT_TRUE(p.Init());
        p.LoadXML(c.xml);
        ASSERT_TRUE(p.GetRoot()) << c.xml;
        EXPECT_EQ(CXMLParser::GetNodeText(p.SelectNode("/C/A")), c.text) << c.xml;
        EXPECT_EQ(p.GetXML(), c.written) << c.xml;
        EXPECT_EQ(StrictXmlError(p.GetXML()), "") << c.xml;
    }
}

TEST(CXMLParser, MalformedTextLeavesAnEmptyDocument) {
    const std::string cases[] = {
        "",
        "   ",
        "<",
        "<C>",
        "<C></D>",
        "<C><A></C>",
        "<C/><D/>",
        "text<C/>",
        "<C/>text",
        "<?xml version='1.0'?>",
        "<!-- only a comment -->",
        "<C a=1/>",
        std::string("<C>\0</C>", 8),
        // Held by the parser, but not well-formed.
        "<C>\x01</C>",
        "<C><A>x & y</A></C>",
        "<C><A>&name;</A></C>",
        "<C><A>&#0;</A></C>",
        "<C><A>&#x110000;</A></C>",
        "<C><A>&#xD800;</A></C>",
        "<C><A>&#;</A></C>",
        "<C a='<'/>",
        "<C a='&amp'/>",
        "<C a='\x02'/>",
        "<C><!-- \x1B --></C>",
        "<C\xFF/>",  // a name cannot be mended
        "<C><A \xED\xA0\x80='1'/></C>",
        "<C\xEF\xBF\xBF/>",
        "<C><A b='1' c='2' b='3'/></C>",  // a repeated attribute name
        std::string(200000, '<'),
        std::string(500000, 'x'),
    };
    for (const std::string& xml : cases) {
        CXMLParser p;
        Start(p);
        ASSERT_TRUE(p.CreateChildNode("Old", "content", CXMLNode(), 1, 1));
        p.LoadXML(xml);
        EXPECT_FALSE(p.GetRoot()) << xml.substr(0, 40);
        EXPECT_EQ(p.GetXML(), "") << xml.substr(0, 40);
        EXPECT_FALSE(p.SelectNode("/Contact/Old"));
    }
}

// A raw control character is refused wherever it stands, whether the document also holds a
// reference or an attribute or neither (the checks take a different path for each); tab, line
// feed and CR are taken anywhere, as are bytes of 0x7F and above.
TEST(CXMLParser, ARawControlCharacterIsRefusedAtEveryPlace) {
    const std::string heads[] = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><C><A>",        // neither
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><C><A>&amp;",   // a reference
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><C b='1'><A>",  // an attribute
    };
    int loaded = 0, refused = 0;
    for (const std::string& head : heads) {
        for (std::size_t at = 0; at < 19; ++at) {
            for (int c = 0x01; c <= 0x20; ++c) {
                std::string text(18, 'x');
                text.insert(at, 1, static_cast<char>(c));
                text += "\xC3\xA9\x7F";
                CXMLParser p;
                ASSERT_TRUE(p.Init());
                p.LoadXML(head + text + "</A></C>");
                const bool taken = c == '\t' || c == '\n' || c == '\r' || c == 0x20;
                EXPECT_EQ(static_cast<bool>(p.GetRoot()), taken) << head << " at " << at << " char " << c;
                ++(taken ? loaded : refused);
            }
        }
    }
    EXPECT_EQ(loaded, 3 * 19 * 4);
    EXPECT_EQ(refused, 3 * 19 * 28);
}

TEST(CXMLParser, DeepAndHugeDocumentsNeverExhaustTheStack) {
    constexpr int kDepth = 300000;
    std::string deep;
    deep.reserve(kDepth * 7 + 16);
    for (int i = 0; i < kDepth; ++i) deep += "<a>";
    deep += "core";
    for (int i = 0; i < kDepth; ++i) deep += "</a>";
    CXMLParser p;
    ASSERT_TRUE(p.Init());
    p.LoadXML(deep);
    ASSERT_TRUE(p.GetRoot());
    EXPECT_EQ(CXMLParser::GetNodeText(p.GetRoot()), "core");
    EXPECT_EQ(p.GetXML(), deep + "\n");
    EXPECT_FALSE(p.SelectNode("/a/b"));
    EXPECT_EQ(CXMLParser::GetNodeText(p.SelectNode("/a/a/a")), "core");

    // Unclosed at depth: malformed, empty document.
    p.LoadXML(deep.substr(0, deep.size() - 4));
    EXPECT_FALSE(p.GetRoot());

    // A large element text (16 MB) loads and reads back.
    const std::string big(16u << 20, 'y');
    p.LoadXML("<C><Body>" + big + "</Body></C>");
    EXPECT_EQ(CXMLParser::GetNodeText(p.SelectNode("/C/Body")).size(), big.size());
}

TEST(CXMLParser, SaveToFileWritesTheDocumentAsUtf8) {
    const nx::test::TempWorld world("xml");
    const std::filesystem::path& dir = world.Root();
    CXMLParser p;
    Start(p, "profiles");
    ASSERT_TRUE(p.CreateChildNode("pname",
                                  "Gr\xC3\xBC\xC3\x9F"
                                  "e",
                                  CXMLNode(), 1, 1));
    const std::filesystem::path file = dir / "Profile.xml";
    ASSERT_TRUE(p.SaveToFile(file.string()));
    EXPECT_EQ(nx::test::ReadWholeFile(file), p.GetXML());
    EXPECT_EQ(nx::test::ReadWholeFile(file).substr(0, 3), "<?x") << "no byte-order mark";
    EXPECT_FALSE(p.SaveToFile((dir / "missing" / "x.xml").string()));
    EXPECT_FALSE(p.SaveToFile(dir.string())) << "a folder is not a file";
}
