#include "contacts/ContactXml.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <vector>

#include "common/DateTime.h"
#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactPicture.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_MAPI {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLNode;
using NAMESPACE_COMMON::CXMLParser;
using NAMESPACE_COMMON::TimeZoneSource;

namespace {

constexpr std::array<ULONG, kContactColumnCount> kColumns = {
    PR_ENTRYID,
    PR_LONGTERM_ENTRYID_FROM_TABLE,
    PR_CREATION_TIME,
    PR_LAST_MODIFICATION_TIME,
    PR_SURNAME_W,
    PR_MIDDLE_NAME_W,
    PR_GIVEN_NAME_W,
    PR_HOME_TELEPHONE_NUMBER_W,
    PR_HOME_FAX_NUMBER_W,
    PR_BUSINESS_TELEPHONE_NUMBER_W,
    PR_BUSINESS_FAX_NUMBER_W,
    PR_MOBILE_TELEPHONE_NUMBER_W,
    PR_PAGER_TELEPHONE_NUMBER_W,
    PR_HOME2_TELEPHONE_NUMBER_W,
    PR_BUSINESS2_TELEPHONE_NUMBER_W,
    PR_OTHER_TELEPHONE_NUMBER_W,
    PR_PRIMARY_FAX_NUMBER_W,
    PR_COMPANY_MAIN_PHONE_NUMBER_W,
    PR_PRIMARY_TELEPHONE_NUMBER_W,
    PR_ASSISTANT_TELEPHONE_NUMBER_W,
    PR_ISDN_NUMBER_W,
    PR_TELEX_NUMBER_W,
    PR_TTYTDD_PHONE_NUMBER_W,
    PR_CAR_TELEPHONE_NUMBER_W,
    PR_RADIO_TELEPHONE_NUMBER_W,
    PR_CALLBACK_TELEPHONE_NUMBER_W,
    PR_PERSONAL_HOME_PAGE_W,
    PR_BUSINESS_HOME_PAGE_W,
    PR_COMPANY_NAME_W,
    PR_TITLE_W,
    PR_NICKNAME_W,
    PR_HOME_ADDRESS_COUNTRY_W,
    PR_HOME_ADDRESS_STATE_OR_PROVINCE_W,
    PR_HOME_ADDRESS_CITY_W,
    PR_HOME_ADDRESS_STREET_W,
    PR_HOME_ADDRESS_POSTAL_CODE_W,
    PR_HOME_ADDRESS_POST_OFFICE_BOX_W,
    PR_OTHER_ADDRESS_COUNTRY_W,
    PR_OTHER_ADDRESS_STATE_OR_PROVINCE_W,
    PR_OTHER_ADDRESS_CITY_W,
    PR_OTHER_ADDRESS_STREET_W,
    PR_OTHER_ADDRESS_POSTAL_CODE_W,
    PR_OTHER_ADDRESS_POST_OFFICE_BOX_W,
    PR_GENERATION_W,
    PR_DISPLAY_NAME_PREFIX_W,
    PR_WEDDING_ANNIVERSARY,
    PR_BIRTHDAY,
};

enum class RowValue : uint8_t { EntryId, DateTime, Date, Text };

struct RowColumn {
    ULONG tag;
    RowValue how;
    const char* element;  // null for the entry ids
};

// The row mapping, sorted by tag: the header times and entry ids, and every Text and Date field
// of the shared table whose property is a column.
std::vector<RowColumn> BuildRowColumns() {
    std::vector<RowColumn> columns = {
        {PR_ENTRYID, RowValue::EntryId, nullptr},
        {PR_LONGTERM_ENTRYID_FROM_TABLE, RowValue::EntryId, nullptr},
        {PR_CREATION_TIME, RowValue::DateTime, "CreateTime"},
        {PR_LAST_MODIFICATION_TIME, RowValue::DateTime, "lastModifiedTime"},
    };
    for (const ContactField& f : ContactFields()) {
        if (f.kind != ContactFieldKind::Text && f.kind != ContactFieldKind::Date) continue;
        if (std::find(kColumns.begin(), kColumns.end(), f.tag) == kColumns.end()) continue;
        columns.push_back(
            {f.tag, f.kind == ContactFieldKind::Date ? RowValue::Date : RowValue::Text, f.sent});
    }
    std::sort(columns.begin(), columns.end(),
              [](const RowColumn& a, const RowColumn& b) { return a.tag < b.tag; });
    return columns;
}

const RowColumn* FindRowColumn(ULONG tag) {
    static const std::vector<RowColumn> columns = BuildRowColumns();
    auto it = std::lower_bound(columns.begin(), columns.end(), tag,
                               [](const RowColumn& c, ULONG t) { return c.tag < t; });
    return it != columns.end() && it->tag == tag ? &*it : nullptr;
}

// A stored UTC time as the local time of this machine, formatted; "Invalid DateTime" when the
// value names no representable time.
std::string LocalTimeText(const FILETIME& ft, const char* pattern, const TimeZoneSource& zone) {
    SYSTEMTIME utc{};
    CDateTime local(0.0, CDateTime::invalid);
    if (NAMESPACE_COMMON::FileTimeToSystemTime(ft, utc)) NAMESPACE_COMMON::UtcToLocal(utc, local, zone);
    return local.Format(pattern);
}

// The text the document gives a row value of the kind `how` (not an entry id).
std::string RowText(const SPropValue& v, RowValue how, const TimeZoneSource& zone);

// A store text as the agent's UTF-8. What XML 1.0 cannot carry (an unpaired surrogate, control
// characters) is replaced with U+FFFD by the document writer when the text is set.
std::string Utf8(const WCHAR* text) {
    return text ? nx::sys::Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

// The message-level names, in one list for one GetIDsFromNames: every PSETID_Address id the
// document reports (file-as, work address, yomi, the three e-mails' type/address/original name,
// instant messaging), then "Keywords".
struct NamedList {
    std::vector<LONG> lids;
    std::vector<MAPINAMEID> names;  // lids.size() + 1 entries, the last "Keywords"
};

const NamedList& MessageNames() {
    static const NamedList list = [] {
        NamedList l;
        for (const ContactField& f : ContactFields()) {
            auto add = [&l](LONG lid) {
                if (std::find(l.lids.begin(), l.lids.end(), lid) == l.lids.end()) l.lids.push_back(lid);
            };
            switch (f.kind) {
                case ContactFieldKind::NamedText:
                case ContactFieldKind::FullName:
                case ContactFieldKind::InstantMessaging:
                    add(f.lid);
                    break;
                case ContactFieldKind::Email:
                    add(f.lid - 1);
                    add(f.lid);
                    add(f.lid + 1);
                    break;
                default:
                    break;
            }
        }
        static WCHAR keywords[] = u"Keywords";
        for (LONG lid : l.lids) {
            MAPINAMEID n{};
            n.lpguid = const_cast<LPGUID>(&PSETID_Address);
            n.ulKind = MNID_ID;
            n.Kind.lID = lid;
            l.names.push_back(n);
        }
        MAPINAMEID k{};
        k.lpguid = const_cast<LPGUID>(&PS_PUBLIC_STRINGS);
        k.ulKind = MNID_STRING;
        k.Kind.lpwstrName = keywords;
        l.names.push_back(k);
        return l;
    }();
    return list;
}

// GetProps slots after the named ones.
constexpr ULONG kExtraTags[] = {PR_BODY_W, PR_HASATTACH};

}  // namespace

std::span<const ULONG> ContactColumns() {
    return kColumns;
}

TimeZoneSource LocalZone() {
    TimeZoneSource source = NAMESPACE_COMMON::SystemTimeZoneSource();
    TIME_ZONE_INFORMATION tzi{};
    const uint32_t id = source.getTimeZoneInformation ? source.getTimeZoneInformation(tzi) : 0xFFFFFFFFu;
    source.getTimeZoneInformation = [tzi, id](TIME_ZONE_INFORMATION& out) {
        out = tzi;
        return id;
    };
    return source;
}

namespace {

std::string RowText(const SPropValue& v, RowValue how, const TimeZoneSource& zone) {
    switch (how) {
        case RowValue::DateTime:
            return LocalTimeText(v.Value.ft, NAMESPACE_COMMON::kDateTimePattern, zone);
        case RowValue::Date:
            return LocalTimeText(v.Value.ft, NAMESPACE_COMMON::kDashDatePattern, zone);
        case RowValue::Text:
            return Utf8(v.Value.lpszW);
        case RowValue::EntryId:
            break;
    }
    return std::string();
}

// The value of a column among values that come in the columns' order (GetProps and the table
// both answer in the order asked, a missing value as PT_ERROR in its place): looked for at its
// place first, then among all (values of another order).
const SPropValue* ColumnValue(const SPropValue* values, ULONG count, ULONG tag) {
    // Each field's column place, found once.
    static const std::unordered_map<ULONG, std::size_t> places = [] {
        std::unordered_map<ULONG, std::size_t> index;
        for (std::size_t i = 0; i < kColumns.size(); ++i) index.emplace(kColumns[i], i);
        return index;
    }();
    const auto place = places.find(tag);
    const std::size_t at = place == places.end() ? count : place->second;
    if (values != nullptr && at < count && PROP_ID(values[at].ulPropTag) == PROP_ID(tag))
        return values[at].ulPropTag == tag ? &values[at] : nullptr;  // each tag is once in the columns
    return NAMESPACE_COMMON::FindProp(values, count, tag);
}

// The text of a message-level field (file-as, work address, yomi, body, e-mail, categories).
std::string MessageFieldText(const ContactField& f, const CContactMessageProps& props) {
    switch (f.kind) {
        case ContactFieldKind::Body:
            return props.GetBody();
        case ContactFieldKind::Email:
            return props.GetContactEmail(f.lid);
        case ContactFieldKind::Categories:
            return props.GetContactCategories();
        default:
            return props.GetNamedStringProp(f.lid);
    }
}

}  // namespace

void AppendContactRowXml(CXMLParser& parser, std::string& pimid, const SPropValue* values, ULONG count,
                         const TimeZoneSource& zone) {
    if (values == nullptr) return;
    for (ULONG i = 0; i < count; ++i) {
        const SPropValue& v = values[i];
        const RowColumn* column = FindRowColumn(v.ulPropTag);
        if (column == nullptr) continue;  // not a contact column, or a missing value (PT_ERROR)
        if (column->how == RowValue::EntryId) {
            pimid = NAMESPACE_COMMON::BinaryToHexString(v.Value.bin.lpb, v.Value.bin.cb);
            continue;
        }
        parser.CreateChildNode(column->element, RowText(v, column->how, zone).c_str(), CXMLNode(), 1, 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Message-level values

CContactMessageProps::CContactMessageProps(IMessage* message, std::vector<ULONG>& namedTags)
    : m_values(MapiTable().MAPIFreeBuffer) {
    if (message == nullptr || !MapiTable().MAPIFreeBuffer) return;
    const NamedList& names = MessageNames();
    const std::size_t namedCount = names.names.size();
    std::vector<ULONG> tags;  // this message's answer when it is not one to keep
    if (namedTags.size() != namedCount) {
        std::vector<LPMAPINAMEID> pointers;
        for (const MAPINAMEID& n : names.names) pointers.push_back(const_cast<LPMAPINAMEID>(&n));
        MapiBuffer<SPropTagArray> ids(MapiTable().MAPIFreeBuffer);
        const HRESULT hrIds = message->GetIDsFromNames(static_cast<ULONG>(pointers.size()), pointers.data(),
                                                       MAPI_CREATE, ids.put());
        // An unresolved name asks for PR_NULL, which no store holds. Only a complete answer is kept.
        tags.assign(namedCount, PR_NULL);
        if (SUCCEEDED(hrIds) && ids && ids->cValues == namedCount) {
            for (ULONG i = 0; i < ids->cValues; ++i) {
                const ULONG id = ids->aulPropTag[i];
                if (PROP_TYPE(id) == PT_ERROR || PROP_ID(id) == 0) continue;
                const bool keywords = i + 1 == ids->cValues;
                tags[i] = PROP_TAG(keywords ? PT_MV_UNICODE : PT_UNICODE, PROP_ID(id));
            }
            if (hrIds == S_OK) namedTags.swap(tags);
        }
    }
    const std::vector<ULONG>& named = namedTags.size() == namedCount ? namedTags : tags;
    // The named tags, then the body and the attachment flag, as an SPropTagArray (the count first).
    std::vector<ULONG> tagArray(1 + namedCount + std::size(kExtraTags), PR_NULL);
    tagArray[0] = static_cast<ULONG>(tagArray.size() - 1);
    for (std::size_t k = 0; k < namedCount; ++k) tagArray[1 + k] = named[k];
    for (std::size_t k = 0; k < std::size(kExtraTags); ++k) tagArray[1 + namedCount + k] = kExtraTags[k];

    const HRESULT hr = message->GetProps(reinterpret_cast<LPSPropTagArray>(tagArray.data()), MAPI_UNICODE,
                                         &m_count, m_values.put());
    if (FAILED(hr) || !m_values || m_count != tagArray[0]) {
        m_values.reset();
        m_count = 0;
        m_body = NAMESPACE_COMMON::GetStreamText(message, PR_BODY_W);
        return;
    }
    // Values the store keeps out of line (a long body, a long address) are read whole.
    m_tagArray = std::move(tagArray);
    m_whole.emplace(message, reinterpret_cast<const SPropTagArray*>(m_tagArray.data()), m_values.get(),
                    m_count);

    const SPropValue& body = m_whole->data()[m_count - 2];
    if (body.ulPropTag == PR_BODY_W) m_body = Utf8(body.Value.lpszW);
    if (m_body == "\r\n" || m_body == "\n") m_body.clear();

    const SPropValue& hasAttach = m_whole->data()[m_count - 1];
    if (hasAttach.ulPropTag == PR_HASATTACH && !hasAttach.Value.b) m_mayHaveAttachments = false;
}

const SPropValue* CContactMessageProps::Named(LONG lid) const {
    const auto& lids = MessageNames().lids;
    const auto it = std::find(lids.begin(), lids.end(), lid);
    if (it == lids.end() || !m_values) return nullptr;
    const SPropValue& v = m_whole->data()[static_cast<std::size_t>(it - lids.begin())];
    return PROP_TYPE(v.ulPropTag) == PT_UNICODE ? &v : nullptr;
}

std::string CContactMessageProps::GetNamedStringProp(LONG lid) const {
    const SPropValue* v = Named(lid);
    return v ? Utf8(v->Value.lpszW) : std::string();
}

std::string CContactMessageProps::GetContactEmail(LONG lid) const {
    return GetNamedStringProp(lid - 1) == "EX" ? GetNamedStringProp(lid + 1) : GetNamedStringProp(lid);
}

std::string CContactMessageProps::GetContactCategories() const {
    if (!m_values) return std::string();
    const SPropValue& v = m_whole->data()[MessageNames().lids.size()];
    if (PROP_TYPE(v.ulPropTag) != PT_MV_UNICODE) return std::string();
    std::string joined;
    for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i) {
        if (i > 0) joined += ';';
        joined += Utf8(v.Value.MVszW.lppszW[i]);
    }
    return joined;
}

void AppendContactMessageXml(CXMLParser& parser, IMessage* message, CContactReadState& state) {
    const CContactMessageProps props(message, state.namedTags);
    if (props.MayHaveAttachments()) {
        const std::string picture = ExportContactPicture(message, state.workFolder, state.beforeFileWrite);
        if (!picture.empty() && PictureFileExists(picture))
            parser.CreateChildNode("PICPath", picture.c_str(), CXMLNode(), 1, 1);
    }
    // The message-level elements in the order the host reads them; each is always present.
    constexpr int32_t kOrder[] = {5, 2016, 2012, 2013, 2010, 2014, 2021, 4037, 4038, 3002, 1000, 1001, 1002};
    for (int32_t id : kOrder) {
        const ContactField* f = FindContactField(id);
        parser.CreateChildNode(f->sent, MessageFieldText(*f, props).c_str(), CXMLNode(), 1, 1);
    }
    std::string im = props.GetNamedStringProp(kLidInstantMessaging);
    const int32_t service = SplitIMAddress(im);
    CXMLNode imNode = parser.CreateChildNode("SP-IMADRESS", im.c_str(), CXMLNode(), 1, 1);
    CXMLParser::SetAttribute("IMType", std::to_string(service).c_str(), imNode);
    const ContactField* categories = FindContactField(3018);
    parser.CreateChildNode(categories->sent, MessageFieldText(*categories, props).c_str(), CXMLNode(), 1, 1);
}

// ---------------------------------------------------------------------------------------------
// What the read sends, field by field

CContactSentFields::CContactSentFields(IMessage* message, const TimeZoneSource& zone,
                                       std::vector<ULONG>* namedTags) {
    std::vector<ULONG> tags(1 + kContactColumnCount);
    tags[0] = static_cast<ULONG>(kContactColumnCount);
    std::copy(kColumns.begin(), kColumns.end(), tags.begin() + 1);
    const auto* columns = reinterpret_cast<const SPropTagArray*>(tags.data());
    ULONG count = 0;
    MapiBuffer<SPropValue> values(MapiTable().MAPIFreeBuffer);
    if (message == nullptr ||
        FAILED(message->GetProps(const_cast<LPSPropTagArray>(columns), MAPI_UNICODE, &count, values.put())))
        values.reset();
    if (!values) count = 0;
    const NAMESPACE_COMMON::CWholeValues whole(message, columns, values.get(), count);
    std::vector<ULONG> ownTags;
    const CContactMessageProps props(message, namedTags ? *namedTags : ownTags);
    Fill(whole.data(), whole.size(), props, zone);
}

CContactSentFields::CContactSentFields(const SPropValue* columns, ULONG count,
                                       const CContactMessageProps& props, const TimeZoneSource& zone) {
    Fill(columns, count, props, zone);
}

void CContactSentFields::Fill(const SPropValue* columns, ULONG count, const CContactMessageProps& props,
                              const TimeZoneSource& zone) {
    // As the host reads it: the document writer replaces what XML 1.0 cannot carry.
    const std::span<const ContactField> fields = ContactFields();
    m_texts.assign(fields.size(), std::string());
    // An id's text sits at its first row (where FindContactField finds it); a later row of the
    // same id wins, as it did.
    const auto slot = [&](int32_t id) -> std::string& {
        return m_texts[static_cast<std::size_t>(FindContactField(id) - fields.data())];
    };
    for (const ContactField& f : fields) {
        std::string text;
        switch (f.kind) {
            case ContactFieldKind::Text:
            case ContactFieldKind::Date:
                // A row element is there only when the property has a value.
                if (const SPropValue* v = ColumnValue(columns, count, f.tag))
                    text =
                        RowText(*v, f.kind == ContactFieldKind::Date ? RowValue::Date : RowValue::Text, zone);
                break;
            case ContactFieldKind::InstantMessaging:
                continue;  // one element for all services, below
            default:
                text = MessageFieldText(f, props);
                break;
        }
        NAMESPACE_COMMON::MakeXmlText(text);
        slot(f.id) = std::move(text);
    }
    std::string im = props.GetNamedStringProp(kLidInstantMessaging);
    m_imService = SplitIMAddress(im);
    NAMESPACE_COMMON::MakeXmlText(im);
    slot(kFieldIMAddress) = std::move(im);
    m_mayHaveAttachments = props.MayHaveAttachments();
}

const std::string& CContactSentFields::Text(int32_t fieldId) const {
    static const std::string kNone;
    const ContactField* field = FindContactField(fieldId);
    if (field == nullptr || m_texts.empty()) return kNone;
    if (field->kind == ContactFieldKind::InstantMessaging) field = FindContactField(kFieldIMAddress);
    return m_texts[static_cast<std::size_t>(field - ContactFields().data())];
}

}  // namespace NAMESPACE_MAPI
