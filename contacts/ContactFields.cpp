#include "contacts/ContactFields.h"

#include <algorithm>
#include <unordered_map>

#include "platform/system/Ascii.h"

namespace NAMESPACE_MAPI {
namespace {

using K = ContactFieldKind;
using NAMESPACE_COMMON::AddressLid;

constexpr ContactField kFields[] = {
    {5, "FullName", "FULLNAME", K::FullName, 0, kLidFileUnder, nullptr, false},
    {1, "FirstName", "FirstName", K::Text, PR_GIVEN_NAME_W, 0, nullptr, true},
    {2, "LastName", "LastName", K::Text, PR_SURNAME_W, 0, nullptr, true},
    {3, "MiddleName", "MiddleName", K::Text, PR_MIDDLE_NAME_W, 0, nullptr, true},
    {4001, "PrefixName", "PrefixName", K::Text, PR_DISPLAY_NAME_PREFIX_W, 0, nullptr, true},
    {4011, "SuffixName", "SuffixName", K::Text, PR_GENERATION_W, 0, nullptr, true},
    {110, "OtherFax", "OtherFax", K::Text, PR_PRIMARY_FAX_NUMBER_W, 0, nullptr, true},
    {102, "HomeNumber1", "HomeNumber1", K::Text, PR_HOME_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {113, "CallBackNumber", "CallBackNumber", K::Text, PR_CALLBACK_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {119, "RadioNumber", "RadioNumber", K::Text, PR_RADIO_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {114, "CarNumber", "CarNumber", K::Text, PR_CAR_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {121, "TtyTddNumber", "TtyTddNumber", K::Text, PR_TTYTDD_PHONE_NUMBER_W, 0, nullptr, true},
    {120, "TelexNumber", "TelexNumber", K::Text, PR_TELEX_NUMBER_W, 0, nullptr, true},
    {115, "IsdnNumber", "IsdnNumber", K::Text, PR_ISDN_NUMBER_W, 0, nullptr, true},
    {117, "AssistantNumber", "AssistantNumber", K::Text, PR_ASSISTANT_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {118, "PrimaryNumber", "PrimaryNumber", K::Text, PR_PRIMARY_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {116, "CompanyNumber", "CompanyNumber", K::Text, PR_COMPANY_MAIN_PHONE_NUMBER_W, 0, nullptr, true},
    {108, "OtherNumber", "OtherNumber", K::Text, PR_OTHER_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {100, "BusinessNumber1", "BusinessNumber", K::Text, PR_BUSINESS_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {112, "BusinessFax", "BusinessFax", K::Text, PR_BUSINESS_FAX_NUMBER_W, 0, nullptr, true},
    {111, "HomeFax", "HomeFax", K::Text, PR_HOME_FAX_NUMBER_W, 0, nullptr, true},
    {104, "Mobile", "Mobile1", K::Text, PR_MOBILE_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {106, "Pager", "Pager1", K::Text, PR_PAGER_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {103, "HomeNumber2", "HomeNumber2", K::Text, PR_HOME2_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {101, "BusinessNumber2", "BusinessNumber2", K::Text, PR_BUSINESS2_TELEPHONE_NUMBER_W, 0, nullptr, true},
    {1000, "Email1", "SP-EMAIL1", K::Email, 0, kLidEmail1, nullptr, true},
    {1001, "Email2", "SP-EMAIL2", K::Email, 0, kLidEmail2, nullptr, true},
    {1002, "Email3", "SP-EMAIL3", K::Email, 0, kLidEmail3, nullptr, true},
    {1500, "Web1", "Web1", K::Text, PR_PERSONAL_HOME_PAGE_W, 0, nullptr, true},
    {1501, "Web2", "Web2", K::Text, PR_BUSINESS_HOME_PAGE_W, 0, nullptr, true},
    {2008, "HomeCountry", "HomeCountry", K::Text, PR_HOME_ADDRESS_COUNTRY_W, 0, nullptr, true},
    {2005, "HomeState", "HomeState", K::Text, PR_HOME_ADDRESS_STATE_OR_PROVINCE_W, 0, nullptr, true},
    {2004, "HomeCity", "HomeCity", K::Text, PR_HOME_ADDRESS_CITY_W, 0, nullptr, true},
    {2002, "HomeStreet1", "HomeStreet1", K::Text, PR_HOME_ADDRESS_STREET_W, 0, nullptr, true},
    {2006, "HomeZip", "HomeZip", K::Text, PR_HOME_ADDRESS_POSTAL_CODE_W, 0, nullptr, true},
    {2019, "HomePobox", "HomePobox", K::Text, PR_HOME_ADDRESS_POST_OFFICE_BOX_W, 0, nullptr, true},
    // The business address lives in the work-address named properties, in both directions.
    {2016, "BusinessCountry", "SP-BUSINESSCOUNTRY", K::NamedText, 0, AddressLid("PidLidWorkAddressCountry"),
     nullptr, true},
    {2013, "BusinessState", "SP-BUSINESSSTATE", K::NamedText, 0, AddressLid("PidLidWorkAddressState"),
     nullptr, true},
    {2012, "BusinessCity", "SP-BUSINESSCITY", K::NamedText, 0, AddressLid("PidLidWorkAddressCity"), nullptr,
     true},
    {2010, "BusinessStreet1", "SP-BUSINESSSTREET1", K::NamedText, 0, AddressLid("PidLidWorkAddressStreet"),
     nullptr, true},
    {2014, "BusinessZip", "SP-BUSINESSZIP", K::NamedText, 0, AddressLid("PidLidWorkAddressPostalCode"),
     nullptr, true},
    {2021, "BusinessPobox", "SP-BUSINESSPOBOX", K::NamedText, 0, AddressLid("PidLidWorkAddressPostOfficeBox"),
     nullptr, true},
    {2038, "OtherCountry", "OtherCountry", K::Text, PR_OTHER_ADDRESS_COUNTRY_W, 0, nullptr, true},
    {2035, "OtherState", "OtherState", K::Text, PR_OTHER_ADDRESS_STATE_OR_PROVINCE_W, 0, nullptr, true},
    {2034, "OtherCity", "OtherCity", K::Text, PR_OTHER_ADDRESS_CITY_W, 0, nullptr, true},
    {2032, "OtherStreet1", "OtherStreet1", K::Text, PR_OTHER_ADDRESS_STREET_W, 0, nullptr, true},
    {2036, "OtherZip", "OtherZip", K::Text, PR_OTHER_ADDRESS_POSTAL_CODE_W, 0, nullptr, true},
    {2030, "OtherPobox", "OtherPobox", K::Text, PR_OTHER_ADDRESS_POST_OFFICE_BOX_W, 0, nullptr, true},
    {4004, "CompanyX", "CompanyX", K::Text, PR_COMPANY_NAME_W, 0, nullptr, true},
    {4015, "JobTitle", "JobTitle", K::Text, PR_TITLE_W, 0, nullptr, true},
    {4005, "NickName", "NickName", K::Text, PR_NICKNAME_W, 0, nullptr, true},
    {3018, "Categories", "SP-CATEGORIES", K::Categories, 0, 0, nullptr, true},
    {3002, "Body", "SP-BODY", K::Body, PR_BODY_W, 0, nullptr, true},
    // One stored address serves every service; the prefix names it. A write stores the service
    // that comes last in this order (ICQ wins over all, JABBER over all but ICQ).
    {4022, "IMAddress", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "", true},
    {4023, "AIM", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "AIM:", true},
    {4028, "GoogleTalk", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "GTALK:", true},
    {4024, "LIVE", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "WINDOWSLIVE:", true},
    {4025, "YAHOO", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "YAHOO:", true},
    {4026, "SKYPE", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "SKYPE:", true},
    {4027, "QQ", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "QQ:", true},
    {4030, "JABBER", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "JABBER:", true},
    {4029, "ICQ", "SP-IMADRESS", K::InstantMessaging, 0, kLidInstantMessaging, "ICQ:", true},
    {4003, "Birthday", "Birthday", K::Date, PR_BIRTHDAY, 0, nullptr, true},
    {4019, "Anniversary", "Anniversary", K::Date, PR_WEDDING_ANNIVERSARY, 0, nullptr, true},
    // No inbound element: the host cannot send them, so a write leaves the two yomi names as stored.
    {4037, nullptr, "SP-YOMIFIRSTNAME", K::NamedText, 0, AddressLid("PidLidYomiFirstName"), nullptr, false},
    {4038, nullptr, "SP_YOMILASTNAME", K::NamedText, 0, AddressLid("PidLidYomiLastName"), nullptr, false},
};

}  // namespace

std::span<const ContactField> ContactFields() {
    return kFields;
}

const ContactField* FindContactField(int32_t id) {
    // Every write looks up each of its fields, and the compare each again: an index by id, made once.
    static const std::unordered_map<int32_t, const ContactField*> byId = [] {
        std::unordered_map<int32_t, const ContactField*> index;
        for (const ContactField& f : kFields) index.try_emplace(f.id, &f);  // the first row of an id
        return index;
    }();
    const auto it = byId.find(id);
    return it == byId.end() ? nullptr : it->second;
}

int32_t SplitIMAddress(std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return kFieldIMAddress;
    const std::string_view prefix(text.data(), colon + 1);
    for (const ContactField& f : kFields) {
        if (f.kind != ContactFieldKind::InstantMessaging || f.imPrefix[0] == '\0') continue;
        if (nx::sys::EqualsIgnoreAsciiCase(prefix, f.imPrefix)) {
            text.erase(0, colon + 1);
            return f.id;
        }
    }
    return kFieldIMAddress;
}

}  // namespace NAMESPACE_MAPI
