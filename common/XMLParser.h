// CXMLParser: one XML document with a root element, as every item, folder list and profile list
// exchanged with the host is built and read. The DOM is pugixml; nothing outside common/ sees it.
//
// Building: Init, CreateHeader, CreateRoot, then CreateChildNode / SetAttribute / AddIndent,
// then GetXML (to send) or SaveToFile (to store). Reading: Init, LoadXML, then SelectNode and
// GetNodeText per field. Every failure shows only in the result (false, a null node, "").
//
// Document shape: the declaration <?xml version="1.0" encoding="utf-8"?>, the root element, and
// for every child created with a level >= 0 a text node of a line feed and `level` tabs before
// it. Nothing is added before an end tag unless the caller adds it with AddIndent.
//
// GetXML text: each top-level node (the declaration, the root element) followed by one line
// feed; inside the root exactly the nodes that were created, no added formatting; an element
// without content as <Name/>. Escaping: & < > in text; & < " in attribute values; tab, line
// feed and CR in attribute values as references ("&#09;"); a CR in text as "&#13;". The text is
// always well-formed XML 1.0 in UTF-8: what XML 1.0 cannot carry (see ToXmlText) is replaced by
// U+FFFD when a text or attribute value is set, and in a loaded document when it is serialised.
// So every element text reads back through LoadXML + GetNodeText as ToXmlText of itself, CR LF
// included.
//
// Loading: the text must be one well-formed document with exactly one root element and no
// character data outside it; a "&" that starts no reference, a "<" in an attribute value and raw
// control characters (other than tab, LF, CR) are refused too, while references to control
// characters other than NUL are taken (the serialiser writes them). Comments, processing
// instructions, the declaration and a DOCTYPE are dropped. Malformed UTF-8 in a text or an
// attribute value becomes U+FFFD; in a name it refuses the document. Loaded texts keep their
// control characters (references to them are how a host sends them) (no entity of a DTD is expanded:
// with a DOCTYPE "&name;" stays literal text, without one only the five predefined exist), a
// CDATA section becomes ordinary text (one of blanks alone stays a section, or it would read
// back as indentation), and line ends inside text are kept as sent (CR LF stays).
// White-space-only text between elements is dropped, but an element whose only content is
// blanks keeps them, and the blanks around an element's text are kept as they are (blanks that
// references wrote are content wherever they stand). A failed load
// leaves the document empty and no root. Neither loading, serialising, selecting nor reading
// recurses, so nesting depth is bounded by memory only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace NAMESPACE_COMMON {

class CXMLParser;

// A borrowed reference to a node of a parser's document. It stays usable until the parser is
// released, destroyed, or loads another text; it owns nothing and needs no release.
class CXMLNode {
public:
    CXMLNode() = default;
    explicit operator bool() const { return m_node != nullptr; }
    friend bool operator==(const CXMLNode& a, const CXMLNode& b) { return a.m_node == b.m_node; }

    // The element's name; "" for a null node.
    std::string GetName() const;
    // The same without a copy: a view of the name held by the document (valid as long as the node).
    std::string_view Name() const;
    // The first element child of this node, and the next element after it under the same parent,
    // in document order (text, comments and the like are passed over); null after the last, and
    // for a null node.
    CXMLNode FirstChildElement() const;
    CXMLNode NextSiblingElement() const;

private:
    friend class CXMLParser;
    explicit CXMLNode(void* node) : m_node(node) {}
    void* m_node = nullptr;  // pugi::xml_node_struct*
};

class CXMLParser {
public:
    CXMLParser();
    virtual ~CXMLParser();
    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // Creates the (empty) document. True when it exists.
    bool Init();

    // Adds the declaration as the document's first node. False without a document, or when the
    // document already has a node (the declaration can only come first).
    bool CreateHeader();

    // Drops the current root reference, then creates the document element. Null when the name is
    // null or not an XML name, when there is no document, or when the document already has a
    // document element (a document holds only one).
    CXMLNode CreateRoot(const char* name);

    // Adds an element: the indentation text node (AddIndent with `level`) goes into the parent
    // (the root when parent is null) first, whether or not the element is appended. With
    // `append` non-zero the element is appended to the parent and returned, or null when there
    // is no parent. With `append` zero it is returned unattached (kept in a side document of the
    // parser until AppendChild moves a copy in). A non-null text becomes the element's only
    // content ("" leaves it empty); null text gives an empty element.
    CXMLNode CreateChildNode(const char* name, const char* text, CXMLNode parent, int append, int level);

    // A line feed and `level` tabs as a text node appended to the parent; nothing when the level
    // is negative, the parent is null or there is no document.
    void AddIndent(int level, CXMLNode parent);

    // Appends a copy of `child` (typically an unattached element) to `parent` and returns the
    // copy; null on failure.
    CXMLNode AppendChild(CXMLNode parent, CXMLNode child);

    // Sets (or replaces) an attribute of an element. False when the value or the node is null,
    // the node is not an element, or the name is not an XML name.
    static bool SetAttribute(const char* name, const char* value, CXMLNode node);

    // Absolute paths of element names, "/Root/Child" (any number of steps): the first element in
    // document order whose ancestors match the steps; null when none matches or the path is not
    // of that form (no predicates, attributes, wildcards or "//"; at most 64 steps).
    CXMLNode SelectNode(std::string_view path) const;

    // The text content of the node and its descendants, in document order; "" for a null node.
    static std::string GetNodeText(CXMLNode node);

    // Replaces everything inside an element by one text node holding ToXmlText(`text`) (""
    // leaves it empty), as a DOM's text property does. False for a null text or node, or a non-element.
    static bool SetNodeText(CXMLNode node, const char* text);

    // The whole document as text (see above); "" without a document.
    std::string GetXML() const;

    // Replaces the document with the parsed text and sets the root; see above for failures.
    void LoadXML(std::string_view text);

    // Writes GetXML's text to the file as UTF-8 (no byte-order mark), mode 0600, replacing the
    // old file atomically (a crash leaves the old or the new document; a link at the path is
    // replaced, not followed). False without a document or when the file cannot be written
    // completely; the old file is then left as it was.
    bool SaveToFile(const std::string& path) const;

    // Drops the document and the root.
    void Release();

    // The current root element (CreateRoot or LoadXML), null otherwise.
    CXMLNode GetRoot() const { return m_pRoot; }
    bool HasDocument() const { return m_pDoc != nullptr; }

private:
    struct Document;
    std::unique_ptr<Document> m_pDoc;
    CXMLNode m_pRoot;
};

// Whether a text is an XML element or attribute name (ASCII letters, digits, "_", "-", ".",
// ":" and any other character XML 1.0 can carry, in well-formed UTF-8; not starting with a
// digit, "-" or ".").
bool IsXmlName(std::string_view name);

// The text as a document carries it: every character XML 1.0 cannot carry becomes U+FFFD. Those
// are the control characters other than tab, line feed and CR, U+FFFE and U+FFFF, and malformed
// UTF-8: each malformed sequence (its longest start that could still have been a character)
// gives one U+FFFD, and so does an encoded surrogate (the three bytes a lone UTF-16 surrogate
// converts to).
std::string ToXmlText(std::string_view text);
// The same in place: a text with nothing to replace is left as it is (no copy).
void MakeXmlText(std::string& text);

}  // namespace NAMESPACE_COMMON
