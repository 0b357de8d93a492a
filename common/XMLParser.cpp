#include "common/XMLParser.h"

#include <cstdio>
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

void AppendEscaped(std::string& out, const char* s, bool attribute) {
    const char* run = s;
    for (; *s; ++s) {
        const auto c = static_cast<unsigned char>(*s);
        const char* replacement = nullptr;
        char numeric[8];
        switch (c) {
            case '&':
                replacement = "&amp;";
                break;
            case '<':
                replacement = "&lt;";
                break;
            case '>':
                replacement = "&gt;";
                break;
            case '"':
                if (attribute) replacement = "&quot;";
                break;
            case '\r':
                replacement = "&#13;";
                break;
            case '\n':
                if (attribute) replacement = "&#10;";
                break;
            case '\t':
                if (attribute) replacement = "&#9;";
                break;
            default:
                if (c < 0x20) {
                    std::snprintf(numeric, sizeof numeric, "&#%u;", c);
                    replacement = numeric;
                }
                break;
        }
        if (replacement != nullptr) {
            out.append(run, static_cast<std::size_t>(s - run));
            out.append(replacement);
            run = s + 1;
        }
    }
    out.append(run, static_cast<std::size_t>(s - run));
}

void AppendCData(std::string& out, const char* s) {
    // "]]>" cannot appear inside a section: split it across two sections.
    out.append("<![CDATA[");
    for (; *s; ++s) {
        if (s[0] == ']' && s[1] == ']' && s[2] == '>') {
            out.append("]]]]><![CDATA[>");
            s += 2;
        } else {
            out.push_back(*s);
        }
    }
    out.append("]]>");
}

void AppendStartTag(std::string& out, const pugi::xml_node& node, bool empty) {
    out.push_back('<');
    out.append(node.name());
    for (const pugi::xml_attribute& a : node.attributes()) {
        out.push_back(' ');
        out.append(a.name());
        out.append("=\"");
        AppendEscaped(out, a.value(), true);
        out.push_back('"');
    }
    out.append(empty ? "/>" : ">");
}

// Serialises one top-level node and everything under it without recursion.
void Serialise(std::string& out, const pugi::xml_node& top) {
    switch (top.type()) {
        case pugi::node_declaration:
            out.append("<?xml");
            for (const pugi::xml_attribute& a : top.attributes()) {
                out.push_back(' ');
                out.append(a.name());
                out.append("=\"");
                AppendEscaped(out, a.value(), true);
                out.push_back('"');
            }
            out.append("?>");
            return;
        case pugi::node_pcdata:
            AppendEscaped(out, top.value(), false);
            return;
        case pugi::node_cdata:
            AppendCData(out, top.value());
            return;
        case pugi::node_element:
            break;
        default:
            return;  // comments, processing instructions, doctype: never kept
    }
    pugi::xml_node node = top;
    for (;;) {
        // Enter `node`.
        bool descended = false;
        if (node.type() == pugi::node_element) {
            const bool empty = !node.first_child();
            AppendStartTag(out, node, empty);
            if (!empty) {
                node = node.first_child();
                descended = true;
            }
        } else if (node.type() == pugi::node_pcdata) {
            AppendEscaped(out, node.value(), false);
        } else if (node.type() == pugi::node_cdata) {
            AppendCData(out, node.value());
        }
        if (descended) continue;
        // Leave `node`: move to its next sibling, closing finished parents on the way up.
        for (;;) {
            if (node == top) return;
            if (pugi::xml_node next = node.next_sibling()) {
                node = next;
                break;
            }
            node = node.parent();
            out.append("</");
            out.append(node.name());
            out.push_back('>');
        }
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

bool SplitPath(std::string_view path, std::vector<std::string_view>& steps) {
    if (path.size() < 2 || path[0] != '/') return false;
    path.remove_prefix(1);
    while (true) {
        const std::size_t slash = path.find('/');
        const std::string_view step = path.substr(0, slash);
        if (!IsXmlName(step)) return false;
        steps.push_back(step);
        if (slash == std::string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
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

CXMLNode CXMLParser::SelectNode(std::string path) const {
    if (!m_pDoc) return CXMLNode();
    std::vector<std::string_view> steps;
    if (!SplitPath(path, steps)) return CXMLNode();
    // Depth-first in document order; a subtree is entered only while its names match the path.
    std::size_t depth = 0;  // index of the step `node` is tested against
    pugi::xml_node node = m_pDoc->doc.first_child();
    while (node) {
        if (node.type() == pugi::node_element && steps[depth] == node.name()) {
            if (depth + 1 == steps.size()) return CXMLNode(node.internal_object());
            if (pugi::xml_node child = node.first_child()) {
                node = child;
                ++depth;
                continue;
            }
        }
        while (!node.next_sibling()) {
            if (depth == 0) return CXMLNode();
            node = node.parent();
            --depth;
        }
        node = node.next_sibling();
    }
    return CXMLNode();
}

std::string CXMLParser::GetNodeText(CXMLNode node) {
    std::string text;
    if (node) AppendText(text, ToPugi(node.m_node));
    return text;
}

std::string CXMLParser::GetXML() const {
    std::string out;
    if (!m_pDoc) return out;
    try {
        for (const pugi::xml_node& top : m_pDoc->doc.children()) {
            const std::size_t before = out.size();
            Serialise(out, top);
            if (out.size() != before) out.push_back('\n');
        }
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
    if (!ok || elements != 1) {
        doc.reset();
        return;
    }
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
