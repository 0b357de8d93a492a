#include "contacts/ContactWrite.h"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "common/LogFile.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "common/StringEx.h"
#include "common/XMLParser.h"
#include "contacts/ContactFields.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;

namespace {

// What the trace shows of each telephone element the host sends (OtherFax has none).
struct TelephoneMarker {
    int32_t fieldId;
    const char* marker;
};
constexpr TelephoneMarker kTelephoneMarkers[] = {
    {102, "--------------1"},   {113, "---------------2"},       {119, "---------------3"},
    {114, "---------------4"},  {121, "---------------5"},       {120, "---------------6"},
    {115, "---------------7"},  {117, "---------------8"},       {118, "---------------9"},
    {116, "---------------10"}, {108, "---------------11"},      {100, "---------------12"},
    {112, "---------------13"}, {111, "---------------homefax"}, {104, "---------------14"},
    {106, "---------------15"}, {103, "---------------16"},      {101, "---------------17"},
};

const char* TelephoneMarkerOf(int32_t fieldId) {
    for (const TelephoneMarker& m : kTelephoneMarkers)
        if (m.fieldId == fieldId) return m.marker;
    return nullptr;
}

// The ids whose item can carry the picture path, in the order they are searched.
constexpr int32_t kPictureHolders[] = {1, 2, 3, kFieldFullName};

// Length in bytes of the UTF-8 sequence that starts with `lead` (1 for a byte that starts none,
// so a walk over malformed text still moves on).
std::size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    return 1;
}

// The first character of a UTF-8 text (a whole character, so a character beyond the BMP is not
// cut into half a surrogate pair); "" for an empty text.
std::string FirstCharacter(std::string_view text, std::size_t at = 0) {
    if (at >= text.size()) return std::string();
    const std::size_t n = SequenceLength(static_cast<unsigned char>(text[at]));
    return std::string(text.substr(at, std::min(n, text.size() - at)));
}

// The element names the parse takes under the root, each with a slot for the first element of
// that name: the header elements, then every field's inbound element. Made once; the parse then
// walks the root's children once instead of looking each name up among them.
// The names are few and fixed and every element of every document is looked up: a hash of the
// length and three characters (equal names still decide) costs a fraction of hashing every byte.
struct NameHash {
    std::size_t operator()(std::string_view name) const {
        if (name.empty()) return 0;
        const auto at = [&](std::size_t i) { return static_cast<unsigned char>(name[i]); };
        return name.size() * 0x9E3779B1u ^ at(0) << 16 ^ at(name.size() / 2) << 8 ^ at(name.size() - 1);
    }
};

struct InboundNames {
    std::unordered_map<std::string_view, std::size_t, NameHash> slots;  // name -> slot
    std::vector<std::size_t> fieldSlot;  // per row of ContactFields(); npos for a field never sent
    std::size_t lFlag, pimid, csFolder, picPath;

    InboundNames() {
        const std::span<const ContactField> fields = ContactFields();
        lFlag = Add("lFlag");
        pimid = Add("PIMID");
        csFolder = Add("CsFolder");
        picPath = Add("PICPath");
        for (const ContactField& f : fields) fieldSlot.push_back(f.received ? Add(f.received) : npos);
    }
    std::size_t Add(std::string_view name) { return slots.try_emplace(name, slots.size()).first->second; }
    std::size_t Slot(std::string_view name) const {
        const auto it = slots.find(name);
        return it == slots.end() ? npos : it->second;
    }
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
};

const InboundNames& Inbound() {
    static const InboundNames names;
    return names;
}

}  // namespace

int XmlToContactEx(std::string_view xml, CContactEx& record) {
    CXMLParser parser;
    if (!parser.Init()) throw std::runtime_error("XmlToContactEx: the document object cannot be created");
    parser.LoadXML(xml);  // a text that is not a document leaves it empty: every lookup finds nothing

    // The first element of each name under "/Contact", found in one walk over its children (what
    // SelectNode("/Contact/<name>") gives for each).
    const InboundNames& names = Inbound();
    std::vector<CXMLNode> first(names.slots.size());
    for (CXMLNode child = parser.SelectNode("/Contact").FirstChildElement(); child;
         child = child.NextSiblingElement()) {
        const std::size_t slot = names.Slot(child.Name());
        if (slot != InboundNames::npos && !first[slot]) first[slot] = child;
    }
    const auto select = [&](std::size_t slot) {
        return slot == InboundNames::npos ? CXMLNode() : first[slot];
    };

    if (const CXMLNode node = select(names.lFlag))
        record.m_lFlag = NAMESPACE_COMMON::ParseDecimalLong(CXMLParser::GetNodeText(node));
    if (const CXMLNode node = select(names.pimid)) {
        std::string text = CXMLParser::GetNodeText(node);
        if (!text.empty()) record.m_strPIMID = std::move(text);
    }
    if (const CXMLNode node = select(names.csFolder)) {
        std::string text = CXMLParser::GetNodeText(node);
        if (!text.empty()) record.m_strCsFolder = std::move(text);
    }

    const std::span<const ContactField> fields = ContactFields();
    record.m_arrInfo.reserve(record.m_arrInfo.size() + fields.size() + 1);  // + 1: a picture's name item
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const ContactField& field = fields[i];
        const CXMLNode node = select(names.fieldSlot[i]);  // none for a field the host never sends
        if (!node) continue;
        std::string text = CXMLParser::GetNodeText(node);
        if (const char* marker = TelephoneMarkerOf(field.id)) CLogFile::Trace("%s%s", marker, text.c_str());
        record.AddInfo(field.id, std::move(text));
    }

    if (const CXMLNode node = select(names.picPath)) {
        std::string picture = CXMLParser::GetNodeText(node);
        CContactInfoEx* holder = nullptr;
        for (int32_t id : kPictureHolders) {
            for (CContactInfoEx& info : record.m_arrInfo)
                if (info.m_nFieldId == id) {
                    holder = &info;
                    break;
                }
            if (holder) break;
        }
        if (holder == nullptr) {
            // The only item with an empty value: it carries the picture of a contact without a name.
            record.m_arrInfo.emplace_back(kFieldFullName, std::string());
            holder = &record.m_arrInfo.back();
        }
        holder->m_strPicturePath = std::move(picture);
    }
    return 1;
}

std::string_view tagContactFields::Text(int32_t fieldId) const {
    const auto it = values.find(fieldId);
    return it == values.end() ? std::string_view() : it->second;
}

void ContactExToFields(tagContactFields& fields, const CContactEx& record) {
    fields = tagContactFields{};
    fields.lFlag = record.m_lFlag;
    fields.strPIMID = record.m_strPIMID;
    fields.strCsFolder = record.m_strCsFolder;
    fields.dtModified = record.m_dtModified;
    fields.dtStamp = record.m_dtStamp;
    fields.values.reserve(record.m_arrInfo.size());
    for (const CContactInfoEx& info : record.m_arrInfo) {
        const ContactField* field = FindContactField(info.m_nFieldId);
        if (field == nullptr) continue;
        if (field->kind == ContactFieldKind::InstantMessaging)
            fields.strIMAddress = field->imPrefix + info.m_strValue;  // one stored address: the last wins
        else
            fields.values[info.m_nFieldId] = info.m_strValue;
    }
    for (int32_t id : kPictureHolders)
        if (const CContactInfoEx* holder = record.FindInfo(id)) {
            fields.strPicturePath = holder->m_strPicturePath;
            break;
        }
}

CDateTime ParseContactDate(std::string_view text) {
    if (text.empty()) return CDateTime();
    NAMESPACE_COMMON::CStringEx rest{std::string(text)};
    int parts[6] = {};
    for (int i = 0; i < 6; ++i)
        parts[i] = NAMESPACE_COMMON::ParseDecimalLong(rest.GetNextToken(i < 3 ? "-" : ":"));
    CDateTime date;
    if (!date.SetDateTime(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5])) return CDateTime();
    return date;
}

void CContactWriteNames::Want(const ContactField& field) {
    switch (field.kind) {
        case ContactFieldKind::NamedText:
        case ContactFieldKind::InstantMessaging:
            WantLid(field.lid);
            break;
        case ContactFieldKind::Email:
            for (LONG offset : {-1, 0, 1, -3}) WantLid(field.lid + offset);
            break;
        case ContactFieldKind::Categories:
            m_keywords = true;
            break;
        default:
            break;
    }
}

void CContactWriteNames::WantLid(LONG lid) {
    m_lids.push_back(lid);
}

void CContactWriteNames::Resolve(IMessage* message) {
    // What is kept is taken as it is; the rest is asked for in one call.
    std::vector<NAMESPACE_COMMON::NamedProperty> missing;
    for (LONG lid : m_lids) {
        const auto kept = m_kept->address.find(lid);
        if (kept != m_kept->address.end())
            m_tags[lid] = kept->second;
        else if (m_tags.try_emplace(lid, 0).second)  // each name asked for once
            missing.push_back({"", &PSETID_Address, lid, nullptr, PT_UNICODE});
    }
    if (m_keywords) {
        if (m_kept->keywords != 0)
            m_keywordsTag = m_kept->keywords;
        else
            missing.push_back(NAMESPACE_COMMON::NamedProp("PidNameKeywords"));
    }
    if (missing.empty()) return;
    std::vector<ULONG> tags;
    NAMESPACE_COMMON::ResolveNamedProps(message, missing, 0, tags);
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (tags[i] == 0) continue;  // unresolved: skipped now, asked for again by the next write
        if (missing[i].string != nullptr) {
            m_keywordsTag = m_kept->keywords = tags[i];
        } else {
            m_tags[missing[i].lid] = tags[i];
            m_kept->address[missing[i].lid] = tags[i];
        }
    }
}

ULONG CContactWriteNames::Tag(LONG lid) const {
    const auto it = m_tags.find(lid);
    return it == m_tags.end() ? 0 : it->second;
}

void SetContactEmail(NAMESPACE_COMMON::CPropEdits& edits, const CContactWriteNames& names, LONG lid,
                     std::string_view address) {
    const auto set = [&](LONG id, std::string_view text) {
        if (const ULONG tag = names.Tag(id)) edits.SetText(tag, text);
    };
    set(lid - 1, address.empty() ? std::string_view() : std::string_view("SMTP"));
    set(lid, address);
    set(lid + 1, address);
    set(lid - 3, address);
}

void SetContactCategories(NAMESPACE_COMMON::CPropEdits& edits, ULONG tag, std::string_view text) {
    if (tag == 0) return;
    if (text.empty()) return edits.Delete(tag);
    std::vector<std::u16string> parts;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t semicolon = rest.find(';');
        parts.push_back(nx::sys::Utf8ToUtf16(rest.substr(0, semicolon)));
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    }
    std::vector<LPWSTR> pointers;
    for (std::u16string& part : parts) pointers.push_back(part.data());
    SPropValue value{};
    value.ulPropTag = tag;
    value.Value.MVszW.cValues = static_cast<ULONG>(pointers.size());
    value.Value.MVszW.lppszW = pointers.data();
    edits.Set(value);  // the edits keep their own copy of the texts
}

void ComposeContactName(const tagContactFields& fields, std::string& name, std::string& initials) {
    const std::string_view first = fields.Text(1);
    const std::string_view middle = fields.Text(3);
    const std::string_view last = fields.Text(2);
    name.clear();
    initials.clear();
    if (!first.empty()) {
        name += first;
        initials += FirstCharacter(first) + ".";
    }
    if (!middle.empty()) {
        if (!name.empty()) name += ' ';
        name += middle;
        initials += FirstCharacter(middle) + ".";
        // Every further word of the middle name adds its initial: "Marie Louise" gives M.L.
        for (std::size_t at = SequenceLength(static_cast<unsigned char>(middle[0])); at < middle.size();
             at += SequenceLength(static_cast<unsigned char>(middle[at])))
            if (middle[at - 1] == ' ') initials += FirstCharacter(middle, at) + ".";
    }
    if (!last.empty()) {
        if (!name.empty()) name += ' ';
        name += last;
        initials += FirstCharacter(last) + ".";
    }
}

bool ContactFieldSentBack(const ContactField& field, const tagContactFields& fields,
                          const CContactSentFields& sent) {
    if (field.kind != ContactFieldKind::InstantMessaging) return fields.Text(field.id) == sent.Text(field.id);
    // The address the inbound elements make, as the read would show it once stored.
    std::string address = fields.strIMAddress;
    const int32_t service = SplitIMAddress(address);
    return service == sent.ImService() && address == sent.Text(kFieldIMAddress);
}

bool ContactNamesSentBack(const tagContactFields& fields, const CContactSentFields& sent) {
    for (int32_t id : {1, 3, 2})
        if (!ContactFieldSentBack(*FindContactField(id), fields, sent)) return false;
    return true;
}

}  // namespace NAMESPACE_MAPI
