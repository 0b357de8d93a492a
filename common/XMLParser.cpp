#include "common/XMLParser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <pugixml.hpp>
#include <string_view>
#include <vector>

#include "platform/system/Files.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_COMMON {
namespace {

using nx::sys::DecodeUtf8;
using nx::sys::Utf8Char;

constexpr const char* kDeclarationVersion = "1.0";
constexpr const char* kDeclarationEncoding = "utf-8";

// Element content and attribute values as written here read back unchanged through LoadXML.
constexpr unsigned kParseOptions =
    pugi::parse_escapes | pugi::parse_wconv_attribute | pugi::parse_cdata | pugi::parse_ws_pcdata_single |
    pugi::parse_fragment;  // keeps stray top-level text visible, so that it can be refused

pugi::xml_node ToPugi(void* raw) {
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(raw));
}

// Collects the serialiser's output.
struct StringWriter : pugi::xml_writer {
    std::string* out;
    explicit StringWriter(std::string& target) : out(&target) {}
    void write(const void* data, size_t size) override { out->append(static_cast<const char*>(data), size); }
};

// ---- characters XML 1.0 can carry ------------------------------------------------------------
// Documents declare UTF-8 and version 1.0, so every character written must be one XML 1.0
// allows: tab, LF, CR, U+0020..U+D7FF, U+E000..U+FFFD, U+10000..U+10FFFF, in well-formed UTF-8.

bool IsXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Where the first byte at or after `from` starts what XML 1.0 cannot carry, or npos. With
// `controlsToo` false only malformed UTF-8 counts (a loaded text keeps its control characters).
std::size_t FindNonXml(std::string_view text, std::size_t from, bool controlsToo) {
    for (std::size_t i = from; i < text.size();) {
        // Eight printable ASCII bytes (0x20..0x7F, nearly every text) at a time.
        if (i + 8 <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            constexpr uint64_t kHigh = 0x8080808080808080ull;
            // With no top bit set, a byte below 0x20 is what sets its top bit here.
            if ((word & kHigh) == 0 && ((word - 0x2020202020202020ull) & ~word & kHigh) == 0) {
                i += 8;
                continue;
            }
        }
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x80) {
            ++i;
            continue;
        }
        if (byte < 0x80) {
            if (controlsToo && !IsXmlChar(byte)) return i;
            ++i;
            continue;
        }
        const Utf8Char c = DecodeUtf8(text, i);
        if (!c.WellFormed() || (controlsToo && !IsXmlChar(c.code))) return i;
        i += c.size;
    }
    return std::string_view::npos;
}

// The text with each malformed UTF-8 sequence (and with `controlsToo` each character XML 1.0
// cannot carry) replaced by U+FFFD.
std::string ReplaceNonXml(std::string_view text, bool controlsToo) {
    std::size_t bad = FindNonXml(text, 0, controlsToo);
    if (bad == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    std::size_t done = 0;
    while (bad != std::string_view::npos) {
        out.append(text, done, bad - done);
        out.append(kReplacement);
        done = bad + DecodeUtf8(text, bad).size;
        bad = FindNonXml(text, done, controlsToo);
    }
    out.append(text, done, std::string_view::npos);
    return out;
}

// Whether a text holds a character that a loaded document must not keep as it is: malformed
// UTF-8, or U+FFFE / U+FFFF (EF BF BE, EF BF BF) that a name must not hold. ASCII eight bytes at
// a time, as nearly every document is.
bool NeedsUtf8Care(std::string_view text) {
    std::size_t i = 0;
    for (;;) {
        for (; i + 8 <= text.size(); i += 8) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) != 0) break;
        }
        while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
        if (i >= text.size()) return false;
        const Utf8Char c = DecodeUtf8(text, i);
        if (!c.WellFormed() || !IsXmlChar(c.code)) return true;
        i += c.size;
    }
}

// The serialiser's text made XML 1.0: a carriage return in text is written as a reference, so
// that a reader's line-end normalisation cannot turn CR LF into LF (the serialiser escapes CR in
// attribute values, not in text). With `everything`, also what only a loaded document can hold:
// the serialiser writes a control character as "&#NN;" (XML 1.0 has no such reference; every
// "&" of content is written "&amp;", so "&#" comes from nothing else), U+FFFE and U+FFFF, and any
// malformed byte; each becomes U+FFFD.
void MakeXml10(std::string& text, bool everything) {
    if (!everything) {
        std::size_t cr = text.find('\r');
        if (cr == std::string::npos) return;
        std::string escaped;
        escaped.reserve(text.size() + 16);
        escaped.append(text, 0, cr);
        for (; cr < text.size(); ++cr) {
            if (text[cr] == '\r')
                escaped.append("&#13;");
            else
                escaped.push_back(text[cr]);
        }
        text.swap(escaped);
        return;
    }
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r') {
            out.append("&#13;");
            ++i;
        } else if (byte == '&' && i + 5 <= text.size() && text[i + 1] == '#' && text[i + 4] == ';' &&
                   text[i + 2] >= '0' && text[i + 2] <= '3' && text[i + 3] >= '0' && text[i + 3] <= '9') {
            const uint32_t code = static_cast<uint32_t>((text[i + 2] - '0') * 10 + (text[i + 3] - '0'));
            if (IsXmlChar(code))
                out.append(text, i, 5);
            else
                out.append(kReplacement);
            i += 5;
        } else if (byte < 0x80) {
            if (IsXmlChar(byte))
                out.push_back(static_cast<char>(byte));
            else
                out.append(kReplacement);
            ++i;
        } else {
            const Utf8Char c = DecodeUtf8(text, i);
            if (c.WellFormed() && IsXmlChar(c.code))
                out.append(text, i, c.size);
            else
                out.append(kReplacement);
            i += c.size;
        }
    }
    text.swap(out);
}

// Space, tab and line feed only: text that a reader drops as indentation when it stands between
// elements, but that a CDATA section keeps.
bool IsBlankWithoutCarriageReturn(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text != ' ' && *text != '\t' && *text != '\n') return false;
    return true;
}

// Replaces a text or CDATA node by one of the other kind with the given value; returns it.
pugi::xml_node Retype(pugi::xml_node node, pugi::xml_node_type type, const char* value) {
    pugi::xml_node other = node.parent().insert_child_before(type, node);
    other.set_value(value);
    node.parent().remove_child(node);
    return other;
}

// The node after `node` in document order within `top`'s subtree, or null at its end. A loop,
// not recursion: a hostile document may nest elements thousands deep.
pugi::xml_node NextInDocument(pugi::xml_node node, const pugi::xml_node& top) {
    if (node.first_child()) return node.first_child();
    while (node && node != top && !node.next_sibling()) node = node.parent();
    if (!node || node == top) return pugi::xml_node();
    return node.next_sibling();
}

// Makes a loaded tree read back the same after serialisation:
// - CDATA sections become plain text nodes of the same content, so that every text serialises
//   through one escaping path. A section of blanks alone stays a section: written as plain text
//   next to an element it would read back as nothing. (One holding a CR is flattened: the CR is
//   written as a reference, which no reader drops.)
// - For the same reason a blank text that references wrote ("&#32;") next to other nodes
//   becomes a section; written plainly it would read back as indentation.
// - With `utf8Care` (the text held malformed UTF-8, U+FFFE or U+FFFF): malformed UTF-8 in texts
//   and attribute values becomes U+FFFD; a name holding any of them refuses the document
//   (false), since a name cannot be mended without changing what selects it.
bool FinishLoadedTree(pugi::xml_node top, bool utf8Care) {
    // Empty sections ("<![CDATA[]]>") carry nothing; kept, they would print as "<a></a>" once and
    // as "<a/>" after a reload. They go after the walk, which must not lose its place.
    std::vector<pugi::xml_node> empty;
    pugi::xml_node node = top;
    while (node) {
        const pugi::xml_node_type type = node.type();
        if (type == pugi::node_element && utf8Care) {
            if (!IsXmlName(node.name())) return false;
            for (pugi::xml_attribute attribute : node.attributes()) {
                if (!IsXmlName(attribute.name())) return false;
                if (FindNonXml(attribute.value(), 0, false) != std::string_view::npos)
                    attribute.set_value(ReplaceNonXml(attribute.value(), false).c_str());
            }
        } else if (type == pugi::node_cdata || type == pugi::node_pcdata) {
            if (utf8Care && FindNonXml(node.value(), 0, false) != std::string_view::npos)
                node.set_value(ReplaceNonXml(node.value(), false).c_str());
            const bool blank = IsBlankWithoutCarriageReturn(node.value());
            if (*node.value() == '\0')
                empty.push_back(node);
            else if (type == pugi::node_cdata && !blank)
                node = Retype(node, pugi::node_pcdata, node.value());
            else if (type == pugi::node_pcdata && blank && (node.previous_sibling() || node.next_sibling()))
                node = Retype(node, pugi::node_cdata, node.value());
        }
        node = NextInDocument(node, top);
    }
    for (pugi::xml_node e : empty) e.parent().remove_child(e);
    return true;
}

// Whether an element of the tree repeats an attribute name. pugixml keeps both; XML 1.0 makes
// such a document malformed, and serialised again it would be refused by every strict reader.
bool HasRepeatedAttribute(pugi::xml_node top) {
    std::vector<std::string_view> names;
    pugi::xml_node node = top;
    while (node) {
        if (node.type() == pugi::node_element && node.first_attribute() &&
            node.first_attribute().next_attribute()) {
            names.clear();
            for (const pugi::xml_attribute& attribute : node.attributes())
                names.emplace_back(attribute.name());
            // Sorted, so that an element with thousands of attributes costs n log n, not n^2.
            std::sort(names.begin(), names.end());
            if (std::adjacent_find(names.begin(), names.end()) != names.end()) return true;
        }
        node = NextInDocument(node, top);
    }
    return false;
}

void AppendText(std::string& out, const pugi::xml_node& top) {
    if (top.type() == pugi::node_pcdata || top.type() == pugi::node_cdata) {
        out.append(top.value());
        return;
    }
    pugi::xml_node node = top.first_child();
    while (node) {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) out.append(node.value());
        node = NextInDocument(node, top);
    }
}

constexpr std::size_t kMaxSteps = 64;

// ---- what the parser tolerates but a well-formed document may not hold ----------------------
// pugixml is lenient: a "&" that starts no reference, a "<" inside an attribute value, a
// reference to NUL, a surrogate or beyond U+10FFFF, and raw control characters all load. A document
// with any of them is malformed, and loading it must leave the document empty.

// A character a reference may name: as in XML 1.1, control characters other than NUL are
// allowed as references (the serialiser writes them so, and item texts can hold vertical tabs),
// though never raw.
bool IsReferableChar(uint32_t c) {
    return (c >= 0x1 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

bool IsNameUnit(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '-' || c == '.' || c >= 0x80;
}

// The length of the well-formed reference starting at text[at] ("&"), or 0. Without a DOCTYPE
// only the five predefined entities exist; with one, any entity name is taken (its entities are
// not expanded, the reference stays literal text).
std::size_t ReferenceLength(std::string_view text, std::size_t at, bool anyEntity) {
    std::size_t i = at + 1;
    if (i < text.size() && text[i] == '#') {
        ++i;
        const bool hex = i < text.size() && text[i] == 'x';
        if (hex) ++i;
        const std::size_t first = i;
        uint32_t value = 0;
        for (; i < text.size() && text[i] != ';'; ++i) {
            const char c = text[i];
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return 0;
            value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
            if (value > 0x10FFFF) return 0;
        }
        if (i == first || i == text.size() || !IsReferableChar(value)) return 0;
        return i + 1 - at;
    }
    const std::size_t first = i;
    while (i < text.size() && IsNameUnit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == first || i == text.size() || text[i] != ';') return 0;
    const std::string_view name = text.substr(first, i - first);
    if (!anyEntity && name != "lt" && name != "gt" && name != "amp" && name != "apos" && name != "quot")
        return 0;
    if (!IsXmlName(name)) return 0;
    return i + 1 - at;
}

// A control character XML 1.0 does not take raw: below 0x20, other than tab, line feed and CR.
constexpr bool IsRawControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 && u != '\t' && u != '\n' && u != '\r';
}

// Whether the text holds a raw control character other than tab, line feed and CR, eight bytes
// a step.
bool HasRawControl(std::string_view text) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        // Nonzero exactly when some byte is below 0x20 (which lane is marked may be off, so the
        // eight are looked at one by one then; a byte of 0x80 or more never marks).
        if (((word - 0x2020202020202020ull) & ~word & 0x8080808080808080ull) == 0) continue;
        for (std::size_t j = i; j < i + 8; ++j)
            if (IsRawControl(text[j])) return true;
    }
    for (; i < text.size(); ++i)
        if (IsRawControl(text[i])) return true;
    return false;
}

// Runs over a text the parser has accepted (so its markup is complete) and checks the
// characters and references the parser does not. `attributes`: the text may hold an attribute
// (an "=" after its declaration).
bool HasOnlyWellFormedCharacters(std::string_view text, bool attributes) {
    // Without a reference and without an attribute value, only a raw control character can make
    // the text malformed: the usual host document is checked in one pass of eight bytes a step.
    if (!attributes && text.find('&') == std::string_view::npos) return !HasRawControl(text);
    // 1: a raw control character other than tab, line feed and CR; 2: where a reference or
    // markup starts. One pass over the text, skipping everything else at table speed.
    // Inside a tag, 3 marks the characters that end or open a quoted value or end the tag.
    struct Classes {
        uint8_t of[256] = {};
        uint8_t inTag[256] = {};
        constexpr Classes() {
            for (int c = 0; c < 0x20; ++c) of[c] = inTag[c] = IsRawControl(static_cast<char>(c)) ? 1 : 0;
            for (const char c : {'<', '&'}) of[static_cast<int>(c)] = inTag[static_cast<int>(c)] = 2;
            for (const char c : {'"', '\'', '>'}) inTag[static_cast<int>(c)] = 3;
        }
    };
    static constexpr Classes kClasses;
    const auto classOf = [](char c) { return kClasses.of[static_cast<unsigned char>(c)]; };
    const auto tagClassOf = [](char c) { return kClasses.inTag[static_cast<unsigned char>(c)]; };
    // A DOCTYPE can only come before the root element, so the scan meets it before any reference.
    bool anyEntity = false;
    // Past the end marker of a comment, CDATA section or processing instruction; false when
    // what it skips holds a raw control character.
    const auto skipPast = [&](std::size_t& i, std::string_view end) {
        const std::size_t found = text.find(end, i);
        const std::size_t stop = found == std::string_view::npos ? text.size() : found + end.size();
        for (; i < stop; ++i)
            if (classOf(text[i]) == 1) return false;
        return true;
    };
    const std::size_t size = text.size();
    std::size_t i = 0;
    for (;;) {
        while (i < size && classOf(text[i]) == 0) ++i;
        if (i >= size) break;
        if (classOf(text[i]) == 1) return false;
        if (text[i] == '&') {
            const std::size_t n = ReferenceLength(text, i, anyEntity);
            if (n == 0) return false;
            i += n;
        } else if (i + 1 < text.size() && text[i + 1] != '!' && text[i + 1] != '?') {
            // A start or end tag: attribute values hold no "<" and only well-formed references.
            char quote = 0;
            for (++i; i < size;) {
                while (i < size && tagClassOf(text[i]) == 0) ++i;
                if (i >= size) break;
                const char c = text[i];
                if (classOf(c) == 1) return false;
                if (quote != 0) {
                    if (c == '<') return false;
                    if (c == '&') {
                        const std::size_t n = ReferenceLength(text, i, anyEntity);
                        if (n == 0) return false;
                        i += n;
                        continue;
                    }
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    ++i;
                    break;
                }
                ++i;
            }
        } else if (text.compare(i, 4, "<!--") == 0) {
            if (!skipPast(i, "-->")) return false;
        } else if (text.compare(i, 9, "<![CDATA[") == 0) {
            if (!skipPast(i, "]]>")) return false;
        } else if (text.compare(i, 2, "<?") == 0) {
            if (!skipPast(i, "?>")) return false;
        } else {
            // The DOCTYPE: its internal subset may hold ">" in brackets and quotes.
            anyEntity = true;
            int depth = 0;
            char quote = 0;
            for (++i; i < size; ++i) {
                const char c = text[i];
                if (classOf(c) == 1) return false;
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    ++depth;
                } else if (c == ']') {
                    --depth;
                } else if (c == '>' && depth <= 0) {
                    ++i;
                    break;
                }
            }
        }
    }
    return true;
}

}  // namespace

struct CXMLParser::Document {
    pugi::xml_document doc;
    std::unique_ptr<pugi::xml_document> detached;  // unattached elements live here
    // Loaded texts keep the control characters the host sent; only serialisation replaces them.
    bool loaded = false;
};

bool IsXmlName(std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80) {
            const Utf8Char u = DecodeUtf8(name, i);
            if (!u.WellFormed() || !IsXmlChar(u.code)) return false;
            i += u.size;
            continue;
        }
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!(letter || (i > 0 && other))) return false;
        ++i;
    }
    return true;
}

std::string ToXmlText(std::string_view text) {
    return ReplaceNonXml(text, true);
}

void MakeXmlText(std::string& text) {
    if (FindNonXml(text, 0, true) != std::string_view::npos) text = ReplaceNonXml(text, true);
}

std::string CXMLNode::GetName() const {
    if (m_node == nullptr) return std::string();
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(m_node)).name();
}

std::string_view CXMLNode::Name() const {
    if (m_node == nullptr) return std::string_view();
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(m_node)).name();
}

CXMLNode CXMLNode::FirstChildElement() const {
    pugi::xml_node child = m_node ? ToPugi(m_node).first_child() : pugi::xml_node();
    while (child && child.type() != pugi::node_element) child = child.next_sibling();
    return CXMLNode(child.internal_object());
}

CXMLNode CXMLNode::NextSiblingElement() const {
    pugi::xml_node next = m_node ? ToPugi(m_node).next_sibling() : pugi::xml_node();
    while (next && next.type() != pugi::node_element) next = next.next_sibling();
    return CXMLNode(next.internal_object());
}

CXMLParser::CXMLParser() = default;
CXMLParser::~CXMLParser() = default;

bool CXMLParser::Init() {
    try {
        m_pRoot = CXMLNode();
        m_pDoc = std::make_unique<Document>();
        return true;
    } catch (const std::bad_alloc&) {
        m_pDoc.reset();
        return false;
    }
}

bool CXMLParser::CreateHeader() {
    if (!m_pDoc || m_pDoc->doc.first_child()) return false;
    try {
        pugi::xml_node declaration = m_pDoc->doc.append_child(pugi::node_declaration);
        if (!declaration) return false;
        if (!declaration.append_attribute("version").set_value(kDeclarationVersion) ||
            !declaration.append_attribute("encoding").set_value(kDeclarationEncoding)) {
            m_pDoc->doc.remove_child(declaration);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

CXMLNode CXMLParser::CreateRoot(const char* name) {
    m_pRoot = CXMLNode();
    if (name == nullptr || !m_pDoc || !IsXmlName(name)) return CXMLNode();
    if (m_pDoc->doc.document_element()) return CXMLNode();  // only one document element
    pugi::xml_node root = m_pDoc->doc.append_child(name);
    if (root) m_pRoot = CXMLNode(root.internal_object());
    return m_pRoot;
}

void CXMLParser::AddIndent(int level, CXMLNode parent) {
    if (level < 0 || !parent || !m_pDoc) return;
    try {
        std::string indent(static_cast<std::size_t>(level) + 1, '\t');
        indent[0] = '\n';
        pugi::xml_node text = ToPugi(parent.m_node).append_child(pugi::node_pcdata);
        if (text) text.set_value(indent.c_str());
    } catch (const std::bad_alloc&) {
    }
}

CXMLNode CXMLParser::CreateChildNode(const char* name, const char* text, CXMLNode parent, int append,
                                     int level) {
    if (name == nullptr) return CXMLNode();
    if (!parent) parent = m_pRoot;
    AddIndent(level, parent);
    if (!m_pDoc || !IsXmlName(name)) return CXMLNode();
    pugi::xml_node element;
    if (append != 0) {
        if (!parent) return CXMLNode();
        element = ToPugi(parent.m_node).append_child(name);
    } else {
        if (!m_pDoc->detached) {
            try {
                m_pDoc->detached = std::make_unique<pugi::xml_document>();
            } catch (const std::bad_alloc&) {
                return CXMLNode();
            }
        }
        element = m_pDoc->detached->append_child(name);
    }
    if (!element) return CXMLNode();
    if (text != nullptr && *text != '\0')
        element.append_child(pugi::node_pcdata).set_value(ToXmlText(text).c_str());
    return CXMLNode(element.internal_object());
}

CXMLNode CXMLParser::AppendChild(CXMLNode parent, CXMLNode child) {
    if (!m_pDoc || !parent || !child) return CXMLNode();
    const pugi::xml_node copy = ToPugi(parent.m_node).append_copy(ToPugi(child.m_node));
    return copy ? CXMLNode(copy.internal_object()) : CXMLNode();
}

bool CXMLParser::SetAttribute(const char* name, const char* value, CXMLNode node) {
    if (value == nullptr || !node || name == nullptr || !IsXmlName(name)) return false;
    pugi::xml_node element = ToPugi(node.m_node);
    if (element.type() != pugi::node_element) return false;
    pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) attribute = element.append_attribute(name);
    return attribute && attribute.set_value(ToXmlText(value).c_str());
}

CXMLNode CXMLParser::SelectNode(std::string_view path) const {
    if (!m_pDoc || path.size() < 2 || path[0] != '/') return CXMLNode();
    // The steps as terminated names, in a stack buffer for every path the agent uses.
    char local[256];
    std::string large;
    char* names = local;
    if (path.size() > sizeof local) {
        large.resize(path.size());
        names = large.data();
    }
    const char* steps[kMaxSteps];
    std::size_t count = 0;
    std::size_t start = 0;
    const std::size_t length = path.size() - 1;
    std::memcpy(names, path.data() + 1, length);
    names[length] = '\0';
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && names[i] != '/') continue;
        // An empty step ("//", a trailing "/") is not a path of names. Other text that is not a
        // name (predicates, "*", "@x") can never equal an element's name, so it selects nothing.
        if (count == kMaxSteps || i == start) return CXMLNode();
        names[i] = '\0';
        steps[count++] = names + start;
        start = i + 1;
    }
    // The agent's paths have two steps: the document element, then one of its children. A named
    // node inside an element is always an element, so only the first step needs the type test
    // (the declaration is named "xml").
    if (count <= 2) {
        pugi::xml_node first = m_pDoc->doc.child(steps[0]);
        while (first && first.type() != pugi::node_element) first = first.next_sibling(steps[0]);
        if (!first || count == 1) return CXMLNode(first.internal_object());
        return CXMLNode(first.child(steps[1]).internal_object());
    }
    // Depth-first in document order: at each depth the next element of that step's name.
    pugi::xml_node_struct* at[kMaxSteps];  // raw: no per-call construction of 64 handles
    std::size_t depth = 0;
    at[0] = m_pDoc->doc.child(steps[0]).internal_object();
    for (;;) {
        pugi::xml_node node(at[depth]);
        while (node && node.type() != pugi::node_element) node = node.next_sibling(steps[depth]);
        if (!node) {
            if (depth == 0) return CXMLNode();
            --depth;
            at[depth] = pugi::xml_node(at[depth]).next_sibling(steps[depth]).internal_object();
            continue;
        }
        if (depth + 1 == count) return CXMLNode(node.internal_object());
        at[depth] = node.internal_object();
        at[depth + 1] = node.child(steps[depth + 1]).internal_object();
        ++depth;
    }
}

std::string CXMLParser::GetNodeText(CXMLNode node) {
    if (!node) return std::string();
    // The usual element: one text node.
    const pugi::xml_node element = ToPugi(node.m_node);
    const pugi::xml_node only = element.first_child();
    if (only && only.type() == pugi::node_pcdata && !only.next_sibling()) return only.value();
    std::string text;
    if (node) AppendText(text, ToPugi(node.m_node));
    return text;
}

bool CXMLParser::SetNodeText(CXMLNode node, const char* text) {
    if (text == nullptr || !node) return false;
    pugi::xml_node element = ToPugi(node.m_node);
    if (element.type() != pugi::node_element) return false;
    while (pugi::xml_node child = element.first_child()) element.remove_child(child);
    if (*text == '\0') return true;
    pugi::xml_node pcdata = element.append_child(pugi::node_pcdata);
    return pcdata && pcdata.set_value(ToXmlText(text).c_str());
}

std::string CXMLParser::GetXML() const {
    std::string out;
    if (!m_pDoc) return out;
    try {
        out.reserve(4096);
        StringWriter writer(out);
        for (const pugi::xml_node& top : m_pDoc->doc.children()) {
            const std::size_t before = out.size();
            top.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
            if (out.size() != before) out.push_back('\n');
        }
        MakeXml10(out, m_pDoc->loaded);
    } catch (const std::bad_alloc&) {
        return std::string();
    }
    return out;
}

void CXMLParser::LoadXML(std::string_view text) {
    m_pRoot = CXMLNode();
    if (!m_pDoc) return;
    m_pDoc->detached.reset();
    m_pDoc->loaded = false;
    pugi::xml_document& doc = m_pDoc->doc;
    const pugi::xml_parse_result result =
        doc.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
    bool ok = static_cast<bool>(result);
    int elements = 0;
    if (ok) {
        for (const pugi::xml_node& top : doc.children()) {
            if (top.type() == pugi::node_element) ++elements;
            if (top.type() == pugi::node_pcdata || top.type() == pugi::node_cdata) ok = false;
        }
    }
    // Only a text with an "=" after its declaration (whose pseudo-attributes are no node's) can
    // hold an attribute at all; hosts send the declaration with every document.
    const std::size_t body = text.starts_with("<?xml") ? text.find("?>") : 0;
    const bool attributes = body != std::string_view::npos && text.find('=', body) != std::string_view::npos;
    if (ok && elements == 1) ok = HasOnlyWellFormedCharacters(text, attributes);
    // Only a text with sections, references or characters to mend needs the walk over its nodes.
    const bool utf8Care = ok && elements == 1 && NeedsUtf8Care(text);
    if (ok && elements == 1 &&
        (utf8Care || text.find("[CDATA[") != std::string_view::npos ||
         text.find("&#") != std::string_view::npos))
        ok = FinishLoadedTree(doc.document_element(), utf8Care);
    if (ok && elements == 1 && attributes) ok = !HasRepeatedAttribute(doc.document_element());
    if (!ok || elements != 1) {
        doc.reset();
        return;
    }
    m_pDoc->loaded = true;
    m_pRoot = CXMLNode(doc.document_element().internal_object());
}

bool CXMLParser::SaveToFile(const std::string& path) const {
    if (!m_pDoc) return false;
    // Replaced, never rewritten in place: a crash leaves the old document or the new one.
    return nx::sys::WriteFileAtomically(path, GetXML());
}

void CXMLParser::Release() {
    m_pDoc.reset();
    m_pRoot = CXMLNode();
}

}  // namespace NAMESPACE_COMMON
