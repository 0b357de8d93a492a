#include "tools/mapiadmin/PropNames.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "common/NamedProps.h"
#include "tools/mapiadmin/MapiBinding.h"

namespace nx::mapiadmin {
namespace {

// S: a text property, known as NAME_W (PT_UNICODE), NAME_A (PT_STRING8) and bare NAME (Unicode).
constexpr PropType S = 0x0FFF;

struct TagEntry {
    const char* name;
    std::uint16_t id;
    PropType type;
};

constexpr TagEntry kTags[] = {
    // Envelope and common message properties.
    {"PR_IMPORTANCE", 0x0017, kPtLong},
    {"PR_MESSAGE_CLASS", 0x001A, S},
    {"PR_PRIORITY", 0x0026, kPtLong},
    {"PR_SENSITIVITY", 0x0036, kPtLong},
    {"PR_SUBJECT", 0x0037, S},
    {"PR_CLIENT_SUBMIT_TIME", 0x0039, kPtSysTime},
    {"PR_SUBJECT_PREFIX", 0x003D, S},
    {"PR_CONVERSATION_TOPIC", 0x0070, S},
    {"PR_CONVERSATION_INDEX", 0x0071, kPtBinary},
    {"PR_MESSAGE_DELIVERY_TIME", 0x0E06, kPtSysTime},
    {"PR_MESSAGE_FLAGS", 0x0E07, kPtLong},
    {"PR_MESSAGE_SIZE", 0x0E08, kPtLong},
    {"PR_PARENT_ENTRYID", 0x0E09, kPtBinary},
    {"PR_HASATTACH", 0x0E1B, kPtBoolean},
    {"PR_NORMALIZED_SUBJECT", 0x0E1D, S},
    {"PR_RTF_IN_SYNC", 0x0E1F, kPtBoolean},
    {"PR_ATTACH_SIZE", 0x0E20, kPtLong},
    {"PR_ATTACH_NUM", 0x0E21, kPtLong},
    {"PR_ACCESS", 0x0FF4, kPtLong},
    {"PR_INSTANCE_KEY", 0x0FF6, kPtBinary},
    {"PR_ACCESS_LEVEL", 0x0FF7, kPtLong},
    {"PR_MAPPING_SIGNATURE", 0x0FF8, kPtBinary},
    {"PR_RECORD_KEY", 0x0FF9, kPtBinary},
    {"PR_STORE_RECORD_KEY", 0x0FFA, kPtBinary},
    {"PR_STORE_ENTRYID", 0x0FFB, kPtBinary},
    {"PR_OBJECT_TYPE", 0x0FFE, kPtLong},
    {"PR_ENTRYID", 0x0FFF, kPtBinary},
    {"PR_BODY", 0x1000, S},
    {"PR_RTF_COMPRESSED", 0x1009, kPtBinary},
    {"PR_HTML", 0x1013, kPtBinary},
    {"PR_ICON_INDEX", 0x1080, kPtLong},
    {"PR_DISPLAY_NAME", 0x3001, S},
    {"PR_ADDRTYPE", 0x3002, S},
    {"PR_EMAIL_ADDRESS", 0x3003, S},
    {"PR_COMMENT", 0x3004, S},
    {"PR_PROVIDER_DISPLAY", 0x3006, S},
    {"PR_CREATION_TIME", 0x3007, kPtSysTime},
    {"PR_LAST_MODIFICATION_TIME", 0x3008, kPtSysTime},
    {"PR_RESOURCE_FLAGS", 0x3009, kPtLong},
    {"PR_SEARCH_KEY", 0x300B, kPtBinary},
    // Stores, folders and profiles.
    {"PR_DEFAULT_STORE", 0x3400, kPtBoolean},
    {"PR_IPM_SUBTREE_ENTRYID", 0x35E0, kPtBinary},
    {"PR_IPM_OUTBOX_ENTRYID", 0x35E2, kPtBinary},
    {"PR_IPM_WASTEBASKET_ENTRYID", 0x35E3, kPtBinary},
    {"PR_IPM_SENTMAIL_ENTRYID", 0x35E4, kPtBinary},
    {"PR_FOLDER_TYPE", 0x3601, kPtLong},
    {"PR_CONTENT_COUNT", 0x3602, kPtLong},
    {"PR_CONTENT_UNREAD", 0x3603, kPtLong},
    {"PR_SUBFOLDERS", 0x360A, kPtBoolean},
    {"PR_CONTAINER_CLASS", 0x3613, S},
    {"PR_IPM_APPOINTMENT_ENTRYID", 0x36D0, kPtBinary},
    {"PR_IPM_CONTACT_ENTRYID", 0x36D1, kPtBinary},
    {"PR_IPM_JOURNAL_ENTRYID", 0x36D2, kPtBinary},
    {"PR_IPM_NOTE_ENTRYID", 0x36D3, kPtBinary},
    {"PR_IPM_TASK_ENTRYID", 0x36D4, kPtBinary},
    {"PR_IPM_DRAFTS_ENTRYID", 0x36D7, kPtBinary},
    {"PR_DEFAULT_PROFILE", 0x3D04, kPtBoolean},
    {"PR_PROFILE_NAME", 0x3D12, S},
    {"PR_LONGTERM_ENTRYID_FROM_TABLE", 0x6670, kPtBinary},
    // Attachments.
    {"PR_ATTACH_DATA_BIN", 0x3701, kPtBinary},
    {"PR_ATTACH_ENCODING", 0x3702, kPtBinary},
    {"PR_ATTACH_EXTENSION", 0x3703, S},
    {"PR_ATTACH_FILENAME", 0x3704, S},
    {"PR_ATTACH_METHOD", 0x3705, kPtLong},
    {"PR_ATTACH_LONG_FILENAME", 0x3707, S},
    {"PR_ATTACH_PATHNAME", 0x3708, S},
    {"PR_ATTACH_RENDERING", 0x3709, kPtBinary},
    {"PR_ATTACH_TAG", 0x370A, kPtBinary},
    {"PR_RENDERING_POSITION", 0x370B, kPtLong},
    {"PR_ATTACH_TRANSPORT_NAME", 0x370C, S},
    {"PR_ATTACH_LONG_PATHNAME", 0x370D, S},
    {"PR_ATTACH_MIME_TAG", 0x370E, S},
    {"PR_ATTACH_ADDITIONAL_INFO", 0x370F, kPtBinary},
    {"PR_ATTACH_CONTENT_ID", 0x3712, S},
    {"PR_ATTACH_CONTENT_LOCATION", 0x3713, S},
    {"PR_ATTACH_FLAGS", 0x3714, kPtLong},
    {"PR_EXCEPTION_REPLACETIME", 0x7FF9, kPtSysTime},
    {"PR_ATTACHMENT_LINKID", 0x7FFA, kPtLong},
    {"PR_EXCEPTION_STARTTIME", 0x7FFB, kPtSysTime},
    {"PR_EXCEPTION_ENDTIME", 0x7FFC, kPtSysTime},
    {"PR_ATTACHMENT_FLAGS", 0x7FFD, kPtLong},
    {"PR_ATTACHMENT_HIDDEN", 0x7FFE, kPtBoolean},
    {"PR_ATTACHMENT_CONTACTPHOTO", 0x7FFF, kPtBoolean},
    {"PR_DISPLAY_TYPE", 0x3900, kPtLong},
    // Contacts.
    {"PR_ACCOUNT", 0x3A00, S},
    {"PR_CALLBACK_TELEPHONE_NUMBER", 0x3A02, S},
    {"PR_GENERATION", 0x3A05, S},
    {"PR_GIVEN_NAME", 0x3A06, S},
    {"PR_GOVERNMENT_ID_NUMBER", 0x3A07, S},
    {"PR_BUSINESS_TELEPHONE_NUMBER", 0x3A08, S},
    {"PR_OFFICE_TELEPHONE_NUMBER", 0x3A08, S},
    {"PR_HOME_TELEPHONE_NUMBER", 0x3A09, S},
    {"PR_INITIALS", 0x3A0A, S},
    {"PR_KEYWORD", 0x3A0B, S},
    {"PR_LANGUAGE", 0x3A0C, S},
    {"PR_LOCATION", 0x3A0D, S},
    {"PR_SURNAME", 0x3A11, S},
    {"PR_POSTAL_ADDRESS", 0x3A15, S},
    {"PR_COMPANY_NAME", 0x3A16, S},
    {"PR_TITLE", 0x3A17, S},
    {"PR_DEPARTMENT_NAME", 0x3A18, S},
    {"PR_OFFICE_LOCATION", 0x3A19, S},
    {"PR_PRIMARY_TELEPHONE_NUMBER", 0x3A1A, S},
    {"PR_BUSINESS2_TELEPHONE_NUMBER", 0x3A1B, S},
    {"PR_MOBILE_TELEPHONE_NUMBER", 0x3A1C, S},
    {"PR_RADIO_TELEPHONE_NUMBER", 0x3A1D, S},
    {"PR_CAR_TELEPHONE_NUMBER", 0x3A1E, S},
    {"PR_OTHER_TELEPHONE_NUMBER", 0x3A1F, S},
    {"PR_TRANSMITABLE_DISPLAY_NAME", 0x3A20, S},
    {"PR_PAGER_TELEPHONE_NUMBER", 0x3A21, S},
    {"PR_PRIMARY_FAX_NUMBER", 0x3A23, S},
    {"PR_BUSINESS_FAX_NUMBER", 0x3A24, S},
    {"PR_HOME_FAX_NUMBER", 0x3A25, S},
    {"PR_BUSINESS_ADDRESS_COUNTRY", 0x3A26, S},
    {"PR_COUNTRY", 0x3A26, S},
    {"PR_BUSINESS_ADDRESS_CITY", 0x3A27, S},
    {"PR_LOCALITY", 0x3A27, S},
    {"PR_BUSINESS_ADDRESS_STATE_OR_PROVINCE", 0x3A28, S},
    {"PR_STATE_OR_PROVINCE", 0x3A28, S},
    {"PR_BUSINESS_ADDRESS_STREET", 0x3A29, S},
    {"PR_STREET_ADDRESS", 0x3A29, S},
    {"PR_BUSINESS_ADDRESS_POSTAL_CODE", 0x3A2A, S},
    {"PR_POSTAL_CODE", 0x3A2A, S},
    {"PR_BUSINESS_ADDRESS_POST_OFFICE_BOX", 0x3A2B, S},
    {"PR_POST_OFFICE_BOX", 0x3A2B, S},
    {"PR_TELEX_NUMBER", 0x3A2C, S},
    {"PR_ISDN_NUMBER", 0x3A2D, S},
    {"PR_ASSISTANT_TELEPHONE_NUMBER", 0x3A2E, S},
    {"PR_HOME2_TELEPHONE_NUMBER", 0x3A2F, S},
    {"PR_ASSISTANT", 0x3A30, S},
    {"PR_SEND_RICH_INFO", 0x3A40, kPtBoolean},
    {"PR_WEDDING_ANNIVERSARY", 0x3A41, kPtSysTime},
    {"PR_BIRTHDAY", 0x3A42, kPtSysTime},
    {"PR_HOBBIES", 0x3A43, S},
    {"PR_MIDDLE_NAME", 0x3A44, S},
    {"PR_DISPLAY_NAME_PREFIX", 0x3A45, S},
    {"PR_PROFESSION", 0x3A46, S},
    {"PR_PREFERRED_BY_NAME", 0x3A47, S},
    {"PR_SPOUSE_NAME", 0x3A48, S},
    {"PR_COMPUTER_NETWORK_NAME", 0x3A49, S},
    {"PR_CUSTOMER_ID", 0x3A4A, S},
    {"PR_TTYTDD_PHONE_NUMBER", 0x3A4B, S},
    {"PR_FTP_SITE", 0x3A4C, S},
    {"PR_GENDER", 0x3A4D, kPtI2},
    {"PR_MANAGER_NAME", 0x3A4E, S},
    {"PR_NICKNAME", 0x3A4F, S},
    {"PR_PERSONAL_HOME_PAGE", 0x3A50, S},
    {"PR_BUSINESS_HOME_PAGE", 0x3A51, S},
    {"PR_COMPANY_MAIN_PHONE_NUMBER", 0x3A57, S},
    {"PR_CHILDRENS_NAMES", 0x3A58, kMvFlag | S},
    {"PR_HOME_ADDRESS_CITY", 0x3A59, S},
    {"PR_HOME_ADDRESS_COUNTRY", 0x3A5A, S},
    {"PR_HOME_ADDRESS_POSTAL_CODE", 0x3A5B, S},
    {"PR_HOME_ADDRESS_STATE_OR_PROVINCE", 0x3A5C, S},
    {"PR_HOME_ADDRESS_STREET", 0x3A5D, S},
    {"PR_HOME_ADDRESS_POST_OFFICE_BOX", 0x3A5E, S},
    {"PR_OTHER_ADDRESS_CITY", 0x3A5F, S},
    {"PR_OTHER_ADDRESS_COUNTRY", 0x3A60, S},
    {"PR_OTHER_ADDRESS_POSTAL_CODE", 0x3A61, S},
    {"PR_OTHER_ADDRESS_STATE_OR_PROVINCE", 0x3A62, S},
    {"PR_OTHER_ADDRESS_STREET", 0x3A63, S},
    {"PR_OTHER_ADDRESS_POST_OFFICE_BOX", 0x3A64, S},
};

// (S marks text; kMvFlag | S multi-valued text.) The text types a table entry stands for.
bool IsTextEntry(PropType t) {
    return t == S || t == (kMvFlag | S);
}
PropType TextType(PropType entry, bool wide) {
    const PropType base = wide ? kPtUnicode : kPtString8;
    return entry == (kMvFlag | S) ? static_cast<PropType>(kMvFlag | base) : base;
}

struct TypeEntry {
    const char* name;
    PropType type;
};

// The first name of each type is the one a dump writes.
constexpr TypeEntry kTypes[] = {
    {"PT_UNSPECIFIED", kPtUnspecified},
    {"PT_NULL", kPtNull},
    {"PT_I2", kPtI2},
    {"PT_SHORT", kPtI2},
    {"PT_LONG", kPtLong},
    {"PT_I4", kPtLong},
    {"PT_R4", kPtR4},
    {"PT_FLOAT", kPtR4},
    {"PT_DOUBLE", kPtDouble},
    {"PT_R8", kPtDouble},
    {"PT_CURRENCY", kPtCurrency},
    {"PT_APPTIME", kPtAppTime},
    {"PT_ERROR", kPtError},
    {"PT_BOOLEAN", kPtBoolean},
    {"PT_OBJECT", kPtObject},
    {"PT_I8", kPtI8},
    {"PT_LONGLONG", kPtI8},
    {"PT_STRING8", kPtString8},
    {"PT_UNICODE", kPtUnicode},
    {"PT_TSTRING", kPtUnicode},
    {"PT_SYSTIME", kPtSysTime},
    {"PT_CLSID", kPtClsid},
    {"PT_BINARY", kPtBinary},
};

struct SetEntry {
    const char* name;
    const GUID* guid;
};

// The one set the ABI does not name (the agent never uses it).
constexpr GUID kPsInternetHeaders = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

constexpr SetEntry kSets[] = {
    {"PS_MAPI", &PS_MAPI},
    {"PS_PUBLIC_STRINGS", &PS_PUBLIC_STRINGS},
    {"PS_INTERNET_HEADERS", &kPsInternetHeaders},
    {"PSETID_Appointment", &PSETID_Appointment},
    {"PSETID_Task", &PSETID_Task},
    {"PSETID_Address", &PSETID_Address},
    {"PSETID_Common", &PSETID_Common},
    {"PSETID_Log", &PSETID_Log},
    {"PSETID_Note", &PSETID_Note},
    {"PSETID_Meeting", &PSETID_Meeting},
};

// The model's name of an entry of the agent's table of named properties.
NamedId NameOf(const NAMESPACE_COMMON::NamedProperty& p) {
    NamedId n;
    n.set = FromGuid(*p.set);
    if (p.string != nullptr) {
        n.isString = true;
        n.name = p.string;
    } else {
        n.id = static_cast<std::uint32_t>(p.lid);
    }
    return n;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

}  // namespace

bool IsValueType(PropType base) {
    switch (base) {
        case kPtI2:
        case kPtLong:
        case kPtR4:
        case kPtDouble:
        case kPtCurrency:
        case kPtAppTime:
        case kPtBoolean:
        case kPtI8:
        case kPtString8:
        case kPtUnicode:
        case kPtSysTime:
        case kPtClsid:
        case kPtBinary:
            return true;
        default:
            return false;
    }
}

std::optional<std::uint32_t> TagFromName(std::string_view name) {
    for (const auto& e : kTags) {
        const std::string_view n(e.name);
        if (!name.starts_with(n)) continue;
        const std::string_view rest = name.substr(n.size());
        if (IsTextEntry(e.type)) {
            if (rest.empty() || rest == "_W") return MakeTag(e.id, TextType(e.type, true));
            if (rest == "_A") return MakeTag(e.id, TextType(e.type, false));
        } else if (rest.empty()) {
            return MakeTag(e.id, e.type);
        }
    }
    return std::nullopt;
}

std::optional<std::string> NameFromTag(std::uint32_t tag) {
    const std::uint16_t id = PropIdOf(tag);
    const PropType type = PropTypeOf(tag);
    for (const auto& e : kTags) {
        if (e.id != id) continue;
        if (IsTextEntry(e.type)) {
            if (type == TextType(e.type, true)) return std::string(e.name) + "_W";
            if (type == TextType(e.type, false)) return std::string(e.name) + "_A";
        } else if (type == e.type) {
            return std::string(e.name);
        }
    }
    return std::nullopt;
}

std::optional<PropType> TypeFromName(std::string_view name) {
    if (auto n = ParseNumber(name)) {
        if (*n > 0xFFFF) return std::nullopt;
        return static_cast<PropType>(*n);
    }
    PropType mv = 0;
    std::string base(name);
    if (name.starts_with("PT_MV_")) {
        mv = kMvFlag;
        base = "PT_" + std::string(name.substr(6));
    }
    for (const auto& e : kTypes)
        if (base == e.name) return static_cast<PropType>(e.type | mv);
    return std::nullopt;
}

std::string TypeName(PropType type) {
    const bool mv = IsMultiValued(type);
    for (const auto& e : kTypes) {
        if (e.type != BaseType(type)) continue;
        const std::string n(e.name);
        return mv ? "PT_MV_" + n.substr(3) : n;
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(type));
    return buf;
}

std::optional<Guid> SetFromName(std::string_view name) {
    for (const auto& e : kSets)
        if (name == e.name) return FromGuid(*e.guid);
    return ParseGuid(name);
}

std::string SetName(const Guid& set) {
    for (const auto& e : kSets)
        if (FromGuid(*e.guid) == set) return e.name;
    return FormatGuid(set);
}

std::optional<NamedAlias> NamedFromAlias(std::string_view alias) {
    for (const auto& p : NAMESPACE_COMMON::kNamedProperties)
        if (alias == p.name) return NamedAlias{NameOf(p), static_cast<PropType>(p.type)};
    return std::nullopt;
}

std::optional<std::string> AliasFromNamed(const NamedId& name, PropType type) {
    for (const auto& p : NAMESPACE_COMMON::kNamedProperties)
        if (p.type == type && NameOf(p) == name) return std::string(p.name);
    return std::nullopt;
}

}  // namespace nx::mapiadmin
