// Property values through the ABI: every property type survives set, save, a new session and
// get; text keeps every UTF-16 code unit; named properties keep their ids across sessions.
#include <cmath>
#include <cstring>

#include "tests/platform/mapi32/MapiWorld.h"

namespace nx::test {
namespace {

GUID g1 = {0x01020304, 0x0506, 0x0708, {1, 2, 3, 4, 5, 6, 7, 8}};
GUID g2 = {0xA0B0C0D0, 0xE0F0, 0x1121, {9, 8, 7, 6, 5, 4, 3, 2}};
short shorts[] = {-32768, 0, 32767};
LONG longs[] = {INT32_MIN, -1, 0, INT32_MAX};
float floats[] = {-1.5f, 0.0f, 3.25e10f};
double doubles[] = {-2.5, 0.0, 1e300};
CURRENCY currencies[] = {{.int64 = -123456789}, {.int64 = 42}};
FILETIME times[] = {{0, 0}, {0xD53E8000, 0x01A8E79F}, {0xFFFFFFFF, 0x7FFFFFFF}};
LARGE_INTEGER bigs[] = {{.QuadPart = INT64_MIN}, {.QuadPart = INT64_MAX}};
GUID guids[] = {g1, g2};
BYTE bytes1[] = {0, 1, 2, 0xFF};
BYTE bytes2[] = {0x7F};
SBinary bins[] = {{4, bytes1}, {0, nullptr}, {1, bytes2}};
// A text with a non-BMP character (a surrogate pair), a lone high and a lone low surrogate, and
// characters outside Latin-1.
char16_t tricky[] = {u'A', 0xD83D, 0xDE00, u'-', 0xD800, u'x', 0xDC00, 0x00E9, 0x4E2D, 0};
char16_t plain[] = u"Gr\u00FC\u00DFe";
char16_t empty[] = u"";
LPWSTR wides[] = {tricky, empty, plain};
char latin[] = "caf\xC3\xA9";
LPSTR narrows[] = {latin, const_cast<char*>("")};

SPropValue Make(ULONG type, PV value, ULONG id = 0x6601) {
    return Val(PROP_TAG(type, id), value);
}

std::u16string W(const char16_t* s) {
    return s ? std::u16string(s) : std::u16string();
}

// A value as bytes that are equal exactly when the values are: its tag, then each element's
// length and bytes (a boolean as 0 or 1, a text as its code units).
std::string Canon(const SPropValue& v) {
    const PV& x = v.Value;
    auto raw = [](const void* p, std::size_t n) {
        return std::to_string(n) + ":" + (n ? std::string(static_cast<const char*>(p), n) : "");
    };
    auto w = [&](const char16_t* t) { return raw(t, 2 * W(t).size()); };
    std::string out = std::to_string(v.ulPropTag) + "=";
    switch (PROP_TYPE(v.ulPropTag)) {
        case PT_I2:
            return out + raw(&x.i, 2);
        case PT_LONG:
        case PT_R4:
            return out + raw(&x.l, 4);
        case PT_BOOLEAN:
            return out + (x.b ? "1" : "0");
        case PT_CLSID:
            return out + raw(x.lpguid, 16);
        case PT_STRING8:
            return out + raw(x.lpszA, std::strlen(x.lpszA));
        case PT_UNICODE:
            return out + w(x.lpszW);
        case PT_BINARY:
            return out + raw(x.bin.lpb, x.bin.cb);
        case PT_MV_I2:
            return out + raw(x.MVi.lpi, 2 * x.MVi.cValues);
        case PT_MV_LONG:
        case PT_MV_R4:
            return out + raw(x.MVl.lpl, 4 * x.MVl.cValues);
        case PT_MV_CLSID:
            return out + raw(x.MVguid.lpguid, 16 * x.MVguid.cValues);
        case PT_MV_DOUBLE:
        case PT_MV_APPTIME:
        case PT_MV_CURRENCY:
        case PT_MV_I8:
        case PT_MV_SYSTIME:
            return out + raw(x.MVdbl.lpdbl, 8 * x.MVdbl.cValues);
        case PT_MV_BINARY:
            for (ULONG i = 0; i < x.MVbin.cValues; ++i) out += raw(x.MVbin.lpbin[i].lpb, x.MVbin.lpbin[i].cb);
            return out + "#" + std::to_string(x.MVbin.cValues);
        case PT_MV_UNICODE:
            for (ULONG i = 0; i < x.MVszW.cValues; ++i) out += w(x.MVszW.lppszW[i]);
            return out + "#" + std::to_string(x.MVszW.cValues);
        default:  // the 8-byte scalars
            return out + raw(&x.dbl, 8);
    }
}

class PropsTest : public MapiWorld {
protected:
    void SetUp() override {
        MapiWorld::SetUp();
        InitDefault();
    }
    // Creates a message in the Contacts folder with the values, saves it, returns its entry id.
    std::string SaveNew(std::vector<SPropValue> values) {
        auto session = Logon();
        auto store = DefaultStore(session.get());
        auto folder = ContactsOf(store.get());
        ComPtr<IMessage> msg;
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
        LPSPropProblemArray problems = nullptr;
        EXPECT_EQ(msg->SetProps(static_cast<ULONG>(values.size()), values.data(), &problems), S_OK);
        EXPECT_EQ(problems, nullptr);
        fn().MAPIFreeBuffer(problems);
        EXPECT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return BinProp(msg.get(), PR_ENTRYID);
    }
    ComPtr<IMessage> Reopen(ComPtr<IMAPISession>& session, const std::string& eid) {
        session = Logon();
        auto store = DefaultStore(session.get());
        return Open<IMessage>(store.get(), eid, MAPI_BEST_ACCESS | MAPI_MODIFY);
    }
};

TEST_F(PropsTest, EveryTypeRoundTripsThroughSaveAndANewSession) {
    std::vector<SPropValue> cases = {
        Make(PT_I2, PV{.i = -12345}),
        Make(PT_LONG, PV{.l = INT32_MIN}),
        Make(PT_R4, PV{.flt = 1.25f}),
        Make(PT_DOUBLE, PV{.dbl = -0.1}),
        Make(PT_CURRENCY, PV{.cur = {.int64 = 99999999999LL}}),
        Make(PT_APPTIME, PV{.at = 45000.75}),
        Make(PT_BOOLEAN, PV{.b = 1}),
        Make(PT_BOOLEAN, PV{.b = 2}),       // other writers of a store write TRUE as any non-zero
        Make(PT_BOOLEAN, PV{.b = 0x100}),   // value (the low byte 0 here): it stays TRUE
        Make(PT_BOOLEAN, PV{.b = 0xFFFF}),  // (VARIANT_TRUE)
        Make(PT_BOOLEAN, PV{.b = 0}),
        Make(PT_I8, PV{.li = {.QuadPart = -1}}),
        Make(PT_SYSTIME, PV{.ft = times[1]}),
        Make(PT_CLSID, PV{.lpguid = &g2}),
        Make(PT_UNICODE, PV{.lpszW = tricky}),
        Make(PT_BINARY, PV{.bin = bins[0]}),
        Make(PT_MV_I2, PV{.MVi = {3, shorts}}),
        Make(PT_MV_LONG, PV{.MVl = {4, longs}}),
        Make(PT_MV_R4, PV{.MVflt = {3, floats}}),
        Make(PT_MV_DOUBLE, PV{.MVdbl = {3, doubles}}),
        Make(PT_MV_CURRENCY, PV{.MVcur = {2, currencies}}),
        Make(PT_MV_APPTIME, PV{.MVat = {3, doubles}}),
        Make(PT_MV_SYSTIME, PV{.MVft = {3, times}}),
        Make(PT_MV_I8, PV{.MVli = {2, bigs}}),
        Make(PT_MV_CLSID, PV{.MVguid = {2, guids}}),
        Make(PT_MV_BINARY, PV{.MVbin = {3, bins}}),
        Make(PT_MV_UNICODE, PV{.MVszW = {3, wides}}),
        Make(PT_MV_LONG, PV{.MVl = {0, nullptr}}),  // an empty list is a value too
    };
    for (std::size_t i = 0; i < cases.size(); ++i)  // one property id per case
        cases[i].ulPropTag = PROP_TAG(PROP_TYPE(cases[i].ulPropTag), 0x6601 + i);
    std::string eid = SaveNew(cases);
    ASSERT_FALSE(eid.empty());

    ComPtr<IMAPISession> session;
    auto msg = Reopen(session, eid);
    ASSERT_TRUE(msg);
    std::vector<ULONG> tags;
    for (const auto& c : cases) tags.push_back(c.ulPropTag);
    auto* arr = static_cast<LPSPropTagArray>(std::malloc(CbNewSPropTagArray(tags.size())));
    arr->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), arr->aulPropTag);
    ULONG count = 0;
    MapiBuffer<SPropValue> got(fn().MAPIFreeBuffer);
    EXPECT_EQ(msg->GetProps(arr, MAPI_UNICODE, &count, got.put()), S_OK);
    std::free(arr);
    ASSERT_EQ(count, cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message()
                     << "type 0x" << std::hex << PROP_TYPE(cases[i].ulPropTag) << " case " << i);
        EXPECT_EQ(Canon(got[i]), Canon(cases[i]));
    }
}

TEST_F(PropsTest, EightBitTextIsStoredAsUnicodeAndAnsweredInEitherWidth) {
    std::string eid =
        SaveNew({Make(PT_STRING8, PV{.lpszA = latin}, PROP_ID(PR_SUBJECT_A)),
                 Make(PT_MV_STRING8, PV{.MVszA = {2, narrows}}, 0x6700), Text(PR_BODY_W, plain)});
    ComPtr<IMAPISession> session;
    auto msg = Reopen(session, eid);
    SizedSPropTagArray<6> tags = {6,
                                  {PR_SUBJECT_W, PR_SUBJECT_A, PROP_TAG(PT_MV_UNICODE, 0x6700),
                                   PROP_TAG(PT_MV_STRING8, 0x6700), PR_BODY_A, PROP_TAG(PT_LONG, 0x1000)}};
    ULONG count = 0;
    MapiBuffer<SPropValue> got(fn().MAPIFreeBuffer);
    EXPECT_EQ(msg->GetProps(tags.get(), 0, &count, got.put()), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(W(got[0].Value.lpszW), u"caf\u00E9");
    EXPECT_STREQ(got[1].Value.lpszA, latin);
    ASSERT_EQ(got[2].Value.MVszW.cValues, 2u);
    EXPECT_EQ(W(got[2].Value.MVszW.lppszW[0]), u"caf\u00E9");
    EXPECT_STREQ(got[3].Value.MVszA.lppszA[1], "");
    EXPECT_STREQ(got[4].Value.lpszA,
                 "Gr\xC3\xBC\xC3\x9F"
                 "e");
    // Asking for a type the value does not have is an error value, not a conversion.
    EXPECT_EQ(got[5].ulPropTag, PROP_TAG(PT_ERROR, 0x1000));
    EXPECT_EQ(got[5].Value.err, MAPI_E_NOT_FOUND);
}

TEST_F(PropsTest, MissingAndUnspecifiedTags) {
    SPropValue v = Text(PR_SUBJECT_W, plain);
    std::string eid = SaveNew({v});
    ComPtr<IMAPISession> session;
    auto msg = Reopen(session, eid);
    SizedSPropTagArray<4> tags = {
        4,
        {PR_BIRTHDAY, PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SUBJECT_W)), PR_PARENT_ENTRYID, PR_CREATION_TIME}};
    ULONG count = 0;
    MapiBuffer<SPropValue> got(fn().MAPIFreeBuffer);
    EXPECT_EQ(msg->GetProps(tags.get(), MAPI_UNICODE, &count, got.put()), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(got[0].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BIRTHDAY)));
    EXPECT_EQ(got[0].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(got[1].ulPropTag, PR_SUBJECT_W);
    EXPECT_EQ(got[2].ulPropTag, PR_PARENT_ENTRYID);
    EXPECT_EQ(got[3].ulPropTag, PR_CREATION_TIME);
    // HrGetOneProp gives the error itself.
    MapiBuffer<SPropValue> one(fn().MAPIFreeBuffer);
    EXPECT_EQ(fn().HrGetOneProp(msg.get(), PR_BIRTHDAY, one.put()), MAPI_E_NOT_FOUND);
    EXPECT_FALSE(one);
    // Computed properties cannot be set; the problem array says so and the rest is set.
    SPropValue set[2] = {Make(PT_BINARY, PV{.bin = bins[0]}, PROP_ID(PR_ENTRYID)), Text(PR_TITLE_W, plain)};
    LPSPropProblemArray problems = nullptr;
    EXPECT_EQ(msg->SetProps(2, set, &problems), S_OK);
    ASSERT_NE(problems, nullptr);
    EXPECT_EQ(problems->cProblem, 1u);
    EXPECT_EQ(problems->aProblem[0].ulIndex, 0u);
    EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
    fn().MAPIFreeBuffer(problems);
}

TEST_F(PropsTest, SaveStampsCreationOnceAndModificationEveryTime) {
    SPropValue v = Text(PR_SUBJECT_W, plain);
    std::string eid = SaveNew({v});
    ComPtr<IMAPISession> session;
    auto msg = Reopen(session, eid);
    auto time = [&](ULONG tag) {
        MapiBuffer<SPropValue> t(fn().MAPIFreeBuffer);
        EXPECT_EQ(fn().HrGetOneProp(msg.get(), tag, t.put()), S_OK);
        return t ? (static_cast<ULONGLONG>(t->Value.ft.dwHighDateTime) << 32) | t->Value.ft.dwLowDateTime : 0;
    };
    ULONGLONG created = time(PR_CREATION_TIME), modified = time(PR_LAST_MODIFICATION_TIME);
    EXPECT_GT(created, 116444736000000000ULL);  // after 1970
    EXPECT_GE(modified, created);
    // Whatever the save flags (callers pass FORCE_SAVE's value meaning "keep open"), the message
    // stays open for reading and writing, and every save stamps the time again.
    for (ULONG flags : {KEEP_OPEN_READWRITE, FORCE_SAVE, 0UL}) {
        SCOPED_TRACE(flags);
        usleep(20000);
        ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
        ASSERT_EQ(msg->SaveChanges(flags), S_OK);
        EXPECT_EQ(time(PR_CREATION_TIME), created);
        ULONGLONG now = time(PR_LAST_MODIFICATION_TIME);
        EXPECT_GT(now, modified);
        modified = now;
    }
    // DeleteProps, saved, is gone in a new session.
    SizedSPropTagArray<1> del = {1, {PR_SUBJECT_W}};
    ASSERT_EQ(msg->DeleteProps(del.get(), nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    auto again = Reopen(session, eid);
    MapiBuffer<SPropValue> s(fn().MAPIFreeBuffer);
    EXPECT_EQ(fn().HrGetOneProp(again.get(), PR_SUBJECT_W, s.put()), MAPI_E_NOT_FOUND);
}

TEST_F(PropsTest, NamedPropertyIdsAreStablePerStore) {
    GUID address = PSETID_Address, pub = PS_PUBLIC_STRINGS;
    char16_t keywords[] = u"Keywords";
    MAPINAMEID names[3] = {{&address, MNID_ID, {.lID = 0x8005}},
                           {&pub, MNID_STRING, {.lpwstrName = keywords}},
                           {&address, MNID_ID, {.lID = 0x8015}}};
    LPMAPINAMEID list[3] = {&names[0], &names[1], &names[2]};

    std::vector<ULONG> first;
    for (int round = 0; round < 2; ++round) {
        auto session = Logon();
        auto store = DefaultStore(session.get());
        auto root = Open<IMAPIFolder>(store.get(), "");
        // Without MAPI_CREATE an unknown name gives an error entry.
        MapiBuffer<SPropTagArray> tags(fn().MAPIFreeBuffer);
        HRESULT hr = root->GetIDsFromNames(3, list, 0, tags.put());
        if (round == 0) {
            EXPECT_EQ(hr, MAPI_W_ERRORS_RETURNED);
            EXPECT_EQ(tags->aulPropTag[0], PROP_TAG(PT_ERROR, 0));
            ASSERT_EQ(root->GetIDsFromNames(3, list, MAPI_CREATE, tags.put()), S_OK);
            for (ULONG i = 0; i < 3; ++i) first.push_back(tags->aulPropTag[i]);
        } else {
            EXPECT_EQ(hr, S_OK);
            for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(tags->aulPropTag[i], first[i]);
        }
    }
    for (ULONG t : first) {
        EXPECT_GE(PROP_ID(t), 0x8000u);
        EXPECT_EQ(PROP_TYPE(t), PT_UNSPECIFIED);
    }
    EXPECT_NE(first[0], first[1]);
    // And back from ids to names.
    auto session = Logon();
    auto store = DefaultStore(session.get());
    SizedSPropTagArray<2> ids = {2, {first[1], PROP_TAG(PT_LONG, 0xFFF0)}};
    LPSPropTagArray idp = ids.get();
    ULONG count = 0;
    LPMAPINAMEID* got = nullptr;
    EXPECT_EQ(store->GetNamesFromIDs(&idp, nullptr, 0, &count, &got), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 2u);
    ASSERT_NE(got[0], nullptr);
    EXPECT_EQ(*got[0]->lpguid, PS_PUBLIC_STRINGS);
    EXPECT_EQ(got[0]->ulKind, MNID_STRING);
    EXPECT_EQ(W(got[0]->Kind.lpwstrName), u"Keywords");
    EXPECT_EQ(got[1], nullptr);
    fn().MAPIFreeBuffer(got);

    // Listing every name: the flags choose numeric or string names; a list with nothing to create
    // or an empty tag array is refused.
    struct Case {
        ULONG flags;
        ULONG ids, strings;
    } cases[] = {
        {0, 2, 1}, {MAPI_NO_STRINGS, 2, 0}, {MAPI_NO_IDS, 0, 1}, {MAPI_NO_STRINGS | MAPI_NO_IDS, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        LPSPropTagArray all = nullptr;
        ASSERT_EQ(store->GetNamesFromIDs(&all, nullptr, c.flags, &count, &got), S_OK);
        ULONG ids = 0, strings = 0;
        for (ULONG i = 0; i < count; ++i) ++(got[i]->ulKind == MNID_ID ? ids : strings);
        EXPECT_EQ(ids, c.ids);
        EXPECT_EQ(strings, c.strings);
        fn().MAPIFreeBuffer(got);
        fn().MAPIFreeBuffer(all);
    }
    SizedSPropTagArray<1> none = {0, {0}};
    idp = none.get();
    EXPECT_EQ(store->GetNamesFromIDs(&idp, nullptr, 0, &count, &got), MAPI_E_INVALID_PARAMETER);
    MapiBuffer<SPropTagArray> tags(fn().MAPIFreeBuffer);
    EXPECT_EQ(store->GetIDsFromNames(0, nullptr, MAPI_CREATE, tags.put()), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(store->GetIDsFromNames(0, nullptr, 0, tags.put()), S_OK);
    EXPECT_EQ(tags->cValues, 3u);
}

}  // namespace
}  // namespace nx::test
