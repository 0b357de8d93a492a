#include "common/XMLParser.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <pugixml.hpp>
#include <vector>

namespace NAMESPACE_COMMON {
namespace {

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

// A carriage return inside text is written as a reference, so that a reader's line-end
// normalisation cannot turn CR LF into LF (the serialiser writes markup, attribute values and
// control characters escaped, but a text's CR as it is).
void EscapeCarriageReturns(std::string& text, std::size_t from) {
    std::size_t cr = text.find('\r', from);
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
}

// Space, tab and line feed only: text that a reader drops as indentation when it stands between
// elements, but that a CDATA section keeps.
bool IsBlankWithoutCarriageReturn(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text != ' ' && *text != '\t' && *text != '\n') return false;
    return true;
}

// CDATA sections of a loaded document become plain text nodes of the same content, so that the
// text reads the same and every text serialises through one escaping path. A section of blanks
// alone stays a section: written as plain text next to an element it would read back as nothing.
// (One holding a CR is flattened: the CR is written as a reference, which no reader drops.)
void FlattenCData(pugi::xml_node top) {
    pugi::xml_node node = top.first_child();
    while (node) {
        if (node.type() == pugi::node_cdata && !IsBlankWithoutCarriageReturn(node.value())) {
            pugi::xml_node text = node.parent().insert_child_before(pugi::node_pcdata, node);
            text.set_value(node.value());
            pugi::xml_node next = node.next_sibling();
            node.parent().remove_child(node);
            node = text;
            if (next) {
                node = next;
                continue;
            }
        } else if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != top && !node.next_sibling()) node = node.parent();
        if (!node || node == top) break;
        node = node.next_sibling();
    }
}

void AppendText(std::string& out, const pugi::xml_node& top) {
    if (top.type() == pugi::node_pcdata || top.type() == pugi::node_cdata) {
        out.append(top.value());
        return;
    }
    pugi::xml_node node = top.first_child();
    while (node) {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) out.append(node.value());
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != top && !node.next_sibling()) node = node.parent();
        if (!node || node == top) break;
        node = node.next_sibling();
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

// Runs over a text the parser has accepted (so its markup is complete) and checks the
// characters and references the parser does not.
bool HasOnlyWellFormedCharacters(std::string_view text) {
    // 1: a raw control character other than tab, line feed and CR; 2: where a reference or
    // markup starts. One pass over the text, skipping everything else at table speed.
    // Inside a tag, 3 marks the characters that end or open a quoted value or end the tag.
    struct Classes {
        uint8_t of[256] = {};
        uint8_t inTag[256] = {};
        constexpr Classes() {
            for (int c = 0; c < 0x20; ++c) of[c] = inTag[c] = 1;
            for (const char c : {'\t', '\n', '\r'}) of[static_cast<int>(c)] = inTag[static_cast<int>(c)] = 0;
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
};

bool IsXmlName(std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool letter =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!(letter || (i > 0 && other))) return false;
    }
    return true;
}

std::string CXMLNode::GetName() const {
    if (m_node == nullptr) return std::string();
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(m_node)).name();
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
    if (text != nullptr && *text != '\0') element.append_child(pugi::node_pcdata).set_value(text);
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
    return attribute && attribute.set_value(value);
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
        EscapeCarriageReturns(out, 0);
    } catch (const std::bad_alloc&) {
        return std::string();
    }
    return out;
}

void CXMLParser::LoadXML(std::string_view text) {
    m_pRoot = CXMLNode();
    if (!m_pDoc) return;
    m_pDoc->detached.reset();
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
    if (ok && elements == 1) ok = HasOnlyWellFormedCharacters(text);
    if (!ok || elements != 1) {
        doc.reset();
        return;
    }
    if (text.find("[CDATA[") != std::string_view::npos) FlattenCData(doc.document_element());
    m_pRoot = CXMLNode(doc.document_element().internal_object());
}

bool CXMLParser::SaveToFile(const std::string& path) const {
    if (!m_pDoc) return false;
    const std::string text = GetXML();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

void CXMLParser::Release() {
    m_pDoc.reset();
    m_pRoot = CXMLNode();
}

}  // namespace NAMESPACE_COMMON
