// Stores, folders, tables, entry ids, attachments and streams through the ABI, as the agent
// uses them.
#include <cstring>
#include <thread>

#include "platform/system/CaseFold.h"
#include "platform/system/Utf.h"
#include "tests/platform/mapi32/MapiWorld.h"

namespace nx::test {
namespace {

class StoreTest : public MapiWorld {
protected:
    void SetUp() override {
        MapiWorld::SetUp();
        InitDefault();
        m_session = Logon();
        m_store = DefaultStore(m_session.get());
        ASSERT_TRUE(m_store);
        m_root = Open<IMAPIFolder>(m_store.get(), "");
        m_contacts = ContactsOf(m_store.get());
        ASSERT_TRUE(m_root && m_contacts);
    }
    void TearDown() override {
        m_contacts.reset();
        m_root.reset();
        m_store.reset();
        m_session.reset();
        MapiWorld::TearDown();
    }

    // Saves a message with a class, a subject and optional extra values; returns its entry id.
    std::string AddMessage(IMAPIFolder* folder, const char16_t* cls, const char16_t* subject,
                           std::vector<SPropValue> extra = {}) {
        ComPtr<IMessage> msg;
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
        extra.push_back(Text(PR_MESSAGE_CLASS_W, cls));
        extra.push_back(Text(PR_SUBJECT_W, subject));
        EXPECT_EQ(msg->SetProps(static_cast<ULONG>(extra.size()), extra.data(), nullptr), S_OK);
        EXPECT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return BinProp(msg.get(), PR_ENTRYID);
    }

    // Saves a message whose class is a number (subject "long"): a class the class index cannot hold.
    void AddLongClassMessage(IMAPIFolder* folder) {
        ComPtr<IMessage> msg;
        ASSERT_EQ(folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
        SPropValue v[2] = {Val(PROP_TAG(PT_LONG, PROP_ID(PR_MESSAGE_CLASS_W)), {.l = 7}),
                           Text(PR_SUBJECT_W, u"long")};
        ASSERT_EQ(msg->SetProps(2, v, nullptr), S_OK);
        ASSERT_EQ(msg->SaveChanges(0), S_OK);
    }

    // Subjects of the rows of a contents table under a restriction (null: all) and sort order.
    std::vector<std::u16string> Subjects(IMAPIFolder* folder, LPSRestriction res,
                                         LPSSortOrderSet sort = nullptr) {
        ComPtr<IMAPITable> table;
        EXPECT_EQ(folder->GetContentsTable(MAPI_UNICODE | MAPI_DEFERRED_ERRORS, table.put()), S_OK);
        SizedSPropTagArray<1> cols = {1, {PR_SUBJECT_W}};
        RowSetPtr rows = Rows(table.get(), cols.get(), res, sort);
        std::vector<std::u16string> out;
        for (ULONG i = 0; i < rows.size(); ++i)
            out.push_back(PROP_TYPE(rows[i].lpProps[0].ulPropTag) == PT_UNICODE
                              ? rows[i].lpProps[0].Value.lpszW
                              : u"?");
        return out;
    }

    static HRESULT TryCreateFolder(IMAPIFolder* parent, const char16_t* name, ULONG flags,
                                   ComPtr<IMAPIFolder>& f) {
        return parent->CreateFolder(FOLDER_GENERIC, const_cast<LPWSTR>(name), nullptr, nullptr,
                                    MAPI_UNICODE | flags, f.put());
    }
    ComPtr<IMAPIFolder> CreateFolder(IMAPIFolder* parent, const char16_t* name, const char16_t* cls) {
        ComPtr<IMAPIFolder> f;
        EXPECT_EQ(TryCreateFolder(parent, name, 0, f), S_OK);
        SPropValue v = Text(PR_CONTAINER_CLASS_W, cls);
        if (f) {
            EXPECT_EQ(f->SetProps(1, &v, nullptr), S_OK);
        }
        return f;
    }

    ComPtr<IMAPISession> m_session;
    ComPtr<IMsgStore> m_store;
    ComPtr<IMAPIFolder> m_root;
    ComPtr<IMAPIFolder> m_contacts;
};

TEST_F(StoreTest, DefaultFoldersAreReachableTheWayTheAgentLooksThemUp) {
    // The receive folder of IPM.Note is the Inbox, for derived classes too.
    ComPtr<IMAPIFolder> inbox;
    for (const char16_t* cls : {u"IPM.Note.Custom", u"ipm.note", u"", u"IPM.Note"}) {
        ULONG cb = 0;
        LPENTRYID eid = nullptr;
        LPTSTR explicitClass = nullptr;
        ASSERT_EQ(m_store->GetReceiveFolder(const_cast<LPWSTR>(cls), MAPI_UNICODE, &cb, &eid, &explicitClass),
                  S_OK);
        inbox = Open<IMAPIFolder>(m_store.get(), std::string(reinterpret_cast<char*>(eid), cb));
        MapiBuffer<SPropValue> name(fn().MAPIFreeBuffer);
        ASSERT_EQ(fn().HrGetOneProp(inbox.get(), PR_DISPLAY_NAME_W, name.put()), S_OK);
        EXPECT_EQ(std::u16string(name->Value.lpszW), u"Inbox");
        fn().MAPIFreeBuffer(eid);
        fn().MAPIFreeBuffer(explicitClass);
    }

    struct Default {
        ULONG tag;
        const char16_t* name;
        const char16_t* cls;
    } defaults[] = {
        {PR_IPM_APPOINTMENT_ENTRYID, u"Calendar", u"IPF.Appointment"},
        {PR_IPM_CONTACT_ENTRYID, u"Contacts", u"IPF.Contact"},
        {PR_IPM_JOURNAL_ENTRYID, u"Journal", u"IPF.Journal"},
        {PR_IPM_NOTE_ENTRYID, u"Notes", u"IPF.StickyNote"},
        {PR_IPM_TASK_ENTRYID, u"Tasks", u"IPF.Task"},
        {PR_IPM_DRAFTS_ENTRYID, u"Drafts", u"IPF.Note"},
    };
    for (const auto& d : defaults) {
        SCOPED_TRACE(std::string(d.name, d.name + std::char_traits<char16_t>::length(d.name)));
        std::string fromInbox = BinProp(inbox.get(), d.tag), fromRoot = BinProp(m_root.get(), d.tag);
        ASSERT_FALSE(fromInbox.empty());
        EXPECT_EQ(fromInbox, fromRoot);
        auto folder = Open<IMAPIFolder>(m_store.get(), fromInbox);
        SizedSPropTagArray<3> tags = {3, {PR_DISPLAY_NAME_W, PR_CONTAINER_CLASS_W, PR_PARENT_ENTRYID}};
        ULONG n = 0;
        MapiBuffer<SPropValue> v(fn().MAPIFreeBuffer);
        ASSERT_EQ(folder->GetProps(tags.get(), MAPI_UNICODE, &n, v.put()), S_OK);
        EXPECT_EQ(std::u16string(v[0].Value.lpszW), d.name);
        EXPECT_EQ(std::u16string(v[1].Value.lpszW), d.cls);
        EXPECT_EQ(Bytes(v[2].Value.bin), BinProp(m_store.get(), PR_IPM_SUBTREE_ENTRYID));
    }
}

TEST_F(StoreTest, HierarchyTableListsChildrenWithSubfolderFlag) {
    auto sub = CreateFolder(m_contacts.get(), u"Friends", u"IPF.Contact");
    CreateFolder(sub.get(), u"Close", u"IPF.Contact");
    CreateFolder(m_contacts.get(), u"Notes here", u"IPF.Note");
    ComPtr<IMAPIFolder> dup;
    EXPECT_EQ(TryCreateFolder(m_contacts.get(), u"friends", 0, dup), MAPI_E_COLLISION);
    EXPECT_EQ(TryCreateFolder(m_contacts.get(), u"friends", OPEN_IF_EXISTS, dup), S_OK);
    EXPECT_EQ(BinProp(dup.get(), PR_ENTRYID), BinProp(sub.get(), PR_ENTRYID));

    ComPtr<IMAPITable> table;
    ASSERT_EQ(m_contacts->GetHierarchyTable(MAPI_UNICODE, table.put()), S_OK);
    SizedSPropTagArray<5> cols = {
        5, {PR_CONTAINER_CLASS_W, PR_DISPLAY_NAME_W, PR_ENTRYID, PR_SUBFOLDERS, PR_COMMENT_W}};
    RowSetPtr rows = Rows(table.get(), cols.get());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::u16string(rows[0].lpProps[1].Value.lpszW), u"Friends");
    EXPECT_EQ(rows[0].lpProps[3].Value.b, 1);
    EXPECT_EQ(std::u16string(rows[1].lpProps[0].Value.lpszW), u"IPF.Note");
    EXPECT_EQ(rows[1].lpProps[3].Value.b, 0);
    EXPECT_EQ(rows[1].lpProps[4].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_COMMENT_W)));
    EXPECT_EQ(Bytes(rows[0].lpProps[2].Value.bin), BinProp(sub.get(), PR_ENTRYID));
    // The IPM subtree lists the nine standard folders.
    auto ipm = Open<IMAPIFolder>(m_store.get(), BinProp(m_store.get(), PR_IPM_SUBTREE_ENTRYID));
    ComPtr<IMAPITable> top;
    ASSERT_EQ(ipm->GetHierarchyTable(MAPI_UNICODE, top.put()), S_OK);
    ULONG count = 0;
    EXPECT_EQ(top->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 9u);
}

TEST_F(StoreTest, RestrictionsColumnsAndSortOrders) {
    const char16_t* names[] = {u"Bravo", u"alpha", u"Charlie"};
    for (LONG i = 0; i < 3; ++i)
        AddMessage(m_contacts.get(), u"IPM.Contact", names[i], {Val(PR_PRIORITY, {.l = i})});
    AddMessage(m_contacts.get(), u"IPM.DistList", u"List");
    AddMessage(m_contacts.get(), u"IPM.Contact.Derived", u"Derived");

    SPropValue contact = Text(PR_MESSAGE_CLASS_W, u"IPM.Contact"), one = Val(PR_PRIORITY, {.l = 1}),
               prefix = Text(PR_MESSAGE_CLASS_W, u"ipm.contact"), sub = Text(PR_SUBJECT_W, u"AR");
    SRestriction isContact = PropRes(RELOP_EQ, &contact), ge1 = PropRes(RELOP_GE, &one),
                 ne1 = PropRes(RELOP_NE, &one);
    SRestriction startsContact = PropRes(FL_PREFIX | FL_IGNORECASE, &prefix, true);
    SRestriction hasAr = PropRes(FL_SUBSTRING | FL_IGNORECASE, &sub, true);
    SRestriction hasArExact = PropRes(FL_SUBSTRING, &sub, true);
    SRestriction andKids[2] = {isContact, ge1}, orKids[2] = {hasAr, ne1};
    SRestriction exists{RES_EXIST, {}}, both{RES_AND, {}}, either{RES_OR, {}}, notContact{RES_NOT, {}};
    exists.res.resExist.ulPropTag = PR_PRIORITY;
    both.res.resAnd = {2, andKids};
    either.res.resOr = {2, orKids};
    notContact.res.resNot.lpRes = &isContact;

    struct Case {
        const char* name;
        LPSRestriction res;
        std::vector<std::u16string> expected;
    } cases[] = {
        {"none", nullptr, {u"Bravo", u"alpha", u"Charlie", u"List", u"Derived"}},
        {"class equal (whole value, any case)", &isContact, {u"Bravo", u"alpha", u"Charlie"}},
        {"prefix ignoring case", &startsContact, {u"Bravo", u"alpha", u"Charlie", u"Derived"}},
        {"substring ignoring case", &hasAr, {u"Charlie"}},
        {"substring with case", &hasArExact, {}},
        {"exists", &exists, {u"Bravo", u"alpha", u"Charlie"}},
        {"and", &both, {u"alpha", u"Charlie"}},
        {"or with a missing property", &either, {u"Bravo", u"Charlie"}},
        {"not", &notContact, {u"List", u"Derived"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Subjects(m_contacts.get(), c.res), c.expected);
    }

    // Sorting: strings without case, descending numbers, missing values first.
    SizedSSortOrderSet<1> bySubject = {1, 0, 0, {{PR_SUBJECT_W, TABLE_SORT_ASCEND}}};
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr, bySubject.get()),
              (std::vector<std::u16string>{u"alpha", u"Bravo", u"Charlie", u"Derived", u"List"}));
    SizedSSortOrderSet<1> byPriority = {1, 0, 0, {{PR_PRIORITY, TABLE_SORT_DESCEND}}};
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr, byPriority.get()),
              (std::vector<std::u16string>{u"Charlie", u"alpha", u"Bravo", u"List", u"Derived"}));
    SizedSSortOrderSet<1> categorized = {1, 1, 1, {{PR_SUBJECT_W, TABLE_SORT_ASCEND}}};
    ComPtr<IMAPITable> table;
    ASSERT_EQ(m_contacts->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
    EXPECT_EQ(table->SortTable(categorized.get(), 0), MAPI_E_TOO_COMPLEX);

    // A row limit below the row count fails as a whole.
    RowSetPtr rows(fn().FreeProws);
    SizedSPropTagArray<3> cols = {3, {PR_SUBJECT_W, PR_BIRTHDAY, PROP_TAG(PT_LONG, PROP_ID(PR_SUBJECT_W))}};
    EXPECT_EQ(fn().HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 4, rows.put()),
              MAPI_E_TABLE_TOO_BIG);
    ASSERT_EQ(fn().HrQueryAllRows(table.get(), cols.get(), &isContact, nullptr, 3, rows.put()), S_OK);
    ASSERT_EQ(rows.size(), 3u);
    // Columns the row lacks, or asks in another type, come back as errors in place.
    EXPECT_EQ(rows[0].cValues, 3u);
    EXPECT_EQ(rows[0].lpProps[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BIRTHDAY)));
    EXPECT_EQ(rows[0].lpProps[1].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(rows[0].lpProps[2].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SUBJECT_W)));
    // Paging with QueryRows and SeekRow.
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 1, nullptr), S_OK);
    ASSERT_EQ(table->QueryRows(10, 0, rows.put()), S_OK);
    EXPECT_EQ(rows.size(), 2u);
    ASSERT_EQ(table->QueryRows(10, 0, rows.put()), S_OK);
    EXPECT_EQ(rows.size(), 0u);
    // Malformed restrictions are refused, not followed.
    SRestriction broken{};
    broken.rt = RES_AND;
    broken.res.resAnd = {3, nullptr};
    EXPECT_EQ(table->Restrict(&broken, 0), MAPI_E_INVALID_PARAMETER);
    broken.rt = 99;
    EXPECT_EQ(table->Restrict(&broken, 0), MAPI_E_INVALID_PARAMETER);
}

// The agent finds items and folders by class with RELOP_EQ and pictures by a TRUE flag: a class
// another program wrote in another case matches, and so does a flag stored as any non-zero value.
TEST_F(StoreTest, EqualityIgnoresTheCaseOfTextAndTakesEveryNonZeroBooleanAsTrue) {
    const ULONG flag = PROP_TAG(PT_BOOLEAN, 0x6601);
    const struct {
        const char16_t* cls;
        unsigned short b;
        const char16_t* subject;
    } items[] = {
        {u"IPM.Contact", 0, u"zero"},    {u"ipm.contact", 1, u"one"},        {u"IPM.CONTACT", 2, u"two"},
        {u"Ipm.Contact", 0x100, u"256"}, {u"IPM.Contact.X", 0xFFFF, u"max"},
    };
    for (const auto& i : items) AddMessage(m_contacts.get(), i.cls, i.subject, {Val(flag, {.b = i.b})});

    SPropValue cls = Text(PR_MESSAGE_CLASS_W, u"iPM.cONTACT"), yes = Val(flag, {.b = 1}),
               allBits = Val(flag, {.b = 0xFFFF}), no = Val(flag, {.b = 0});
    SRestriction classIs = PropRes(RELOP_EQ, &cls), classIsNot = PropRes(RELOP_NE, &cls),
                 isTrue = PropRes(RELOP_EQ, &yes), isAllBits = PropRes(RELOP_EQ, &allBits),
                 isNotTrue = PropRes(RELOP_NE, &yes), isFalse = PropRes(RELOP_EQ, &no);
    const struct {
        const char* name;
        LPSRestriction res;
        std::vector<std::u16string> expected;
    } cases[] = {
        {"class equal in another case", &classIs, {u"zero", u"one", u"two", u"256"}},
        {"class not equal in another case", &classIsNot, {u"max"}},
        {"flag equal to TRUE", &isTrue, {u"one", u"two", u"256", u"max"}},
        {"flag equal to a TRUE of all bits", &isAllBits, {u"one", u"two", u"256", u"max"}},
        {"flag not equal to TRUE", &isNotTrue, {u"zero"}},
        {"flag equal to FALSE", &isFalse, {u"zero"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Subjects(m_contacts.get(), c.res), c.expected);
    }
}

// Contents tables answer a class equality from the class kept beside each record: rows whose class
// has another type, letters beyond ASCII or none must still be judged as the comparison judges
// them, with only kept columns or with columns of the record, counted or read.
TEST_F(StoreTest, ClassEqualityKeepsExactlyTheRowsTheComparisonMatches) {
    const std::u16string classes[] = {u"IPM.Contact",
                                      u"ipm.CONTACT",
                                      u"IPM.Contact.Kl\u00e4sse",
                                      u"IPM.CONTACT.KL\u00c4SSE",
                                      u"IPM.Note.\u212a",
                                      u"IPM.Note.K",
                                      u"IPM.Note.k2"};
    for (std::size_t i = 0; i < std::size(classes); ++i) {
        const std::u16string subject = u"s" + std::u16string(1, static_cast<char16_t>(u'0' + i));
        AddMessage(m_contacts.get(), classes[i].c_str(), subject.c_str(),
                   {Val(PR_PRIORITY, {.l = LONG(i % 2)})});
    }
    {  // a class of another type, and none
        AddLongClassMessage(m_contacts.get());
        ComPtr<IMessage> msg;
        ASSERT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.put()), S_OK);
        SPropValue none = Text(PR_SUBJECT_W, u"none");
        ASSERT_EQ(msg->SetProps(1, &none, nullptr), S_OK);
        ASSERT_EQ(msg->SaveChanges(0), S_OK);
    }
    for (const char16_t* wanted :
         {u"iPM.cONTACT", u"ipm.contact.KL\u00c4SSE", u"IPM.NOTE.K", u"IPM.Nothing"}) {
        SCOPED_TRACE(nx::sys::Utf16ToUtf8(wanted));
        std::vector<std::u16string> expected, expectedOdd;
        for (std::size_t i = 0; i < std::size(classes); ++i) {
            if (nx::sys::CompareIgnoringCase(classes[i], wanted) != 0) continue;
            expected.push_back(u"s" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
            if (i % 2) expectedOdd.push_back(expected.back());
        }
        SPropValue cls = Text(PR_MESSAGE_CLASS_W, wanted), one = Val(PR_PRIORITY, {.l = 1});
        SRestriction isClass = PropRes(RELOP_EQ, &cls), isOne = PropRes(RELOP_EQ, &one);
        SRestriction kids[2] = {isOne, isClass}, both{RES_AND, {}};
        both.res.resAnd = {2, kids};
        EXPECT_EQ(Subjects(m_contacts.get(), &isClass), expected);
        EXPECT_EQ(Subjects(m_contacts.get(), &both), expectedOdd);

        // Counted, and read with kept columns only: the same rows.
        ComPtr<IMAPITable> table;
        ASSERT_EQ(m_contacts->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
        ASSERT_EQ(table->Restrict(&isClass, 0), S_OK);
        ULONG count = 0;
        ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
        EXPECT_EQ(count, expected.size());
        SizedSPropTagArray<2> kept = {2, {PR_ENTRYID, PR_LAST_MODIFICATION_TIME}};
        RowSetPtr rows = Rows(table.get(), kept.get(), &isClass);
        ASSERT_EQ(rows.size(), expected.size());
        for (ULONG r = 0; r < rows.size(); ++r) {
            auto msg = Open<IMessage>(m_store.get(), Bytes(rows[r].lpProps[0].Value.bin));
            MapiBuffer<SPropValue> subject(fn().MAPIFreeBuffer);
            ASSERT_EQ(fn().HrGetOneProp(reinterpret_cast<IMAPIProp*>(msg.get()), PR_SUBJECT_W, subject.put()),
                      S_OK);
            EXPECT_EQ(std::u16string(subject->Value.lpszW), expected[r]);
            EXPECT_EQ(rows[r].lpProps[1].ulPropTag, PR_LAST_MODIFICATION_TIME);
        }
    }
}

// A folder's counts, asked alone, together or with other values, say what the folder holds.
TEST_F(StoreTest, FolderCountsAnswerWhenAskedInAnyCompany) {
    ComPtr<IMAPIFolder> folder = CreateFolder(m_root.get(), u"Counted", u"IPF.Contact");
    ASSERT_TRUE(folder);
    for (int i = 0; i < 3; ++i) AddMessage(folder.get(), u"IPM.Contact", u"c");
    ASSERT_TRUE(CreateFolder(folder.get(), u"Below", u"IPF.Contact"));
    const struct {
        std::vector<ULONG> tags;
    } cases[] = {{{PR_CONTENT_COUNT}},
                 {{PR_SUBFOLDERS}},
                 {{PR_ENTRYID, PR_SUBFOLDERS, PR_CONTENT_COUNT}},
                 {{PR_CONTENT_COUNT, PR_DISPLAY_NAME_W, PR_SUBFOLDERS}}};
    for (const auto& c : cases) {
        std::vector<ULONG> array = {static_cast<ULONG>(c.tags.size())};
        array.insert(array.end(), c.tags.begin(), c.tags.end());
        ULONG count = 0;
        MapiBuffer<SPropValue> values(fn().MAPIFreeBuffer);
        ASSERT_EQ(folder->GetProps(reinterpret_cast<LPSPropTagArray>(array.data()), MAPI_UNICODE, &count,
                                   values.put()),
                  S_OK);
        ASSERT_EQ(count, c.tags.size());
        for (ULONG i = 0; i < count; ++i) {
            EXPECT_EQ(values.get()[i].ulPropTag, c.tags[i]);
            if (c.tags[i] == PR_CONTENT_COUNT) {
                EXPECT_EQ(values.get()[i].Value.l, 3);
            }
            if (c.tags[i] == PR_SUBFOLDERS) {
                EXPECT_TRUE(values.get()[i].Value.b);
            }
        }
    }
}

// A table reads its rows' records by key range: its folder's messages between other folders'
// are read, and theirs never, whether the keys lie close together (two folders filled in turn)
// or far apart (many of the other folder's messages between two of its own).
TEST_F(StoreTest, ContentsRowsComeFromTheirFolderAloneAmongOtherFolders) {
    ComPtr<IMAPIFolder> other = CreateFolder(m_root.get(), u"Other", u"IPF.Contact");
    ASSERT_TRUE(other);
    std::vector<std::u16string> expected;
    auto add = [&](IMAPIFolder* folder, const std::u16string& subject) {
        AddMessage(folder, u"IPM.Contact", subject.c_str());
        if (folder == m_contacts.get()) expected.push_back(subject);
    };
    SPropValue cls = Text(PR_MESSAGE_CLASS_W, u"IPM.Contact");
    SRestriction isClass = PropRes(RELOP_EQ, &cls);
    for (int i = 0; i < 40; ++i) {
        add(m_contacts.get(), u"a" + nx::sys::Utf8ToUtf16(std::to_string(i)));
        add(other.get(), u"b" + nx::sys::Utf8ToUtf16(std::to_string(i)));
    }
    EXPECT_EQ(Subjects(m_contacts.get(), &isClass), expected);
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr), expected);
    for (int i = 0; i < 200; ++i) add(other.get(), u"c" + nx::sys::Utf8ToUtf16(std::to_string(i)));
    add(m_contacts.get(), u"last");
    EXPECT_EQ(Subjects(m_contacts.get(), &isClass), expected);
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr), expected);
}

// A folder's keys are read a page at a time (4,096 rows): a folder of a page and one more row,
// with rows the class index cannot judge (a class of another type, none) and rows of another
// class among them, lists every row once and in key order, counted alike, with and without a
// restriction.
TEST_F(StoreTest, ContentsRowsOfAFolderLargerThanAPageOfKeysComeOnceAndInOrder) {
    constexpr int kPage = 4096;
    std::vector<std::u16string> contacts, all;
    for (int i = 0; i < kPage + 1; ++i) {
        const std::u16string subject = nx::sys::Utf8ToUtf16(std::to_string(i));
        const bool note = i % 1000 == 999;  // another class, now and then
        AddMessage(m_contacts.get(), note ? u"IPM.Note" : u"IPM.Contact", subject.c_str());
        all.push_back(subject);
        if (!note) contacts.push_back(subject);
        if (i == 10 || i == kPage - 1) {  // a class the index cannot hold, on either side of a page
            AddLongClassMessage(m_contacts.get());
            all.push_back(u"long");
        }
    }
    SPropValue cls = Text(PR_MESSAGE_CLASS_W, u"IPM.Contact");
    SRestriction isClass = PropRes(RELOP_EQ, &cls);
    EXPECT_EQ(Subjects(m_contacts.get(), &isClass), contacts);
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr), all);
    ComPtr<IMAPITable> table;
    ASSERT_EQ(m_contacts->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, all.size());
    ASSERT_EQ(table->Restrict(&isClass, 0), S_OK);
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, contacts.size());
}

// A table reads its rows' keys first and their records as it projects them: messages deleted
// in between keep their rows' places, with the values computed from the key and no stored one,
// and the rows around them (the first, one in the middle, the last of a page) keep theirs.
TEST_F(StoreTest, RowsDeletedAfterTheKeysWereReadKeepTheirPlaces) {
    std::vector<std::string> ids;
    for (int i = 0; i < 6; ++i)
        ids.push_back(
            AddMessage(m_contacts.get(), u"IPM.Contact", nx::sys::Utf8ToUtf16(std::to_string(i)).c_str()));
    ComPtr<IMAPITable> table;
    ASSERT_EQ(m_contacts->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
    SizedSPropTagArray<2> cols = {2, {PR_ENTRYID, PR_SUBJECT_W}};
    ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);  // the keys are read here
    ASSERT_EQ(count, 6u);
    std::vector<SBinary> gone;
    for (int i : {0, 3, 5}) gone.push_back({30, reinterpret_cast<LPBYTE>(ids[i].data())});
    ENTRYLIST list{static_cast<ULONG>(gone.size()), gone.data()};
    ASSERT_EQ(m_contacts->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    RowSetPtr rows(fn().FreeProws);
    ASSERT_EQ(table->QueryRows(10, 0, rows.put()), S_OK);
    ASSERT_EQ(rows.size(), 6u);
    const char16_t* subjects[] = {nullptr, u"1", u"2", nullptr, u"4", nullptr};
    for (ULONG i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const SPropValue* v = rows[i].lpProps;
        ASSERT_EQ(v[0].ulPropTag, PR_ENTRYID);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(v[0].Value.bin.lpb), v[0].Value.bin.cb), ids[i]);
        if (subjects[i]) {
            ASSERT_EQ(v[1].ulPropTag, PR_SUBJECT_W);
            EXPECT_EQ(std::u16string(v[1].Value.lpszW), subjects[i]);
        } else {
            EXPECT_EQ(v[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SUBJECT_W)));
            EXPECT_EQ(v[1].Value.err, MAPI_E_NOT_FOUND);
        }
    }
}

TEST_F(StoreTest, EntryIdsParentsAndDeletion) {
    std::string a = AddMessage(m_contacts.get(), u"IPM.Contact", u"A");
    std::string b = AddMessage(m_contacts.get(), u"IPM.Contact", u"B");
    ASSERT_EQ(a.size(), 30u);
    EXPECT_NE(a, b);
    auto msg = Open<IMessage>(m_store.get(), a, MAPI_MODIFY | MAPI_BEST_ACCESS);
    EXPECT_EQ(BinProp(msg.get(), PR_PARENT_ENTRYID), BinProp(m_contacts.get(), PR_ENTRYID));
    EXPECT_EQ(BinProp(m_contacts.get(), PR_PARENT_ENTRYID), BinProp(m_store.get(), PR_IPM_SUBTREE_ENTRYID));
    EXPECT_EQ(BinProp(m_root.get(), PR_PARENT_ENTRYID), BinProp(m_root.get(), PR_ENTRYID));
    msg.reset();

    // Foreign and malformed ids fail with MAPI errors; the folder opens ids of its store.
    std::string otherStore = a, truncated = a.substr(0, 29), flagged = a, folderAsMessage = a;
    otherStore[10] ^= 0x55;
    flagged[1] = 1;
    folderAsMessage[20] = 1;  // a folder id naming a message's key
    struct Case {
        const char* name;
        std::string id;
        HRESULT hr;
    } cases[] = {
        {"other store", otherStore, MAPI_E_NOT_FOUND},
        {"truncated", truncated, MAPI_E_INVALID_ENTRYID},
        {"unknown flags", flagged, MAPI_E_INVALID_ENTRYID},
        {"wrong kind", folderAsMessage, MAPI_E_NOT_FOUND},
        {"random", std::string(30, '\x7F'), MAPI_E_INVALID_ENTRYID},
        {"huge", std::string(5000, '\0'), MAPI_E_INVALID_ENTRYID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IUnknown> obj;
        EXPECT_EQ(TryOpen(m_contacts.get(), c.id, MAPI_BEST_ACCESS, obj.put()), c.hr);
        EXPECT_FALSE(obj);
    }

    // DeleteMessages: one transaction; unknown ids make it a partial completion.
    SBinary ids[2] = {{static_cast<ULONG>(a.size()), reinterpret_cast<LPBYTE>(a.data())},
                      {static_cast<ULONG>(otherStore.size()), reinterpret_cast<LPBYTE>(otherStore.data())}};
    ENTRYLIST list{2, ids};
    EXPECT_EQ(m_contacts->DeleteMessages(&list, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr), std::vector<std::u16string>{u"B"});
    ComPtr<IUnknown> gone;
    EXPECT_EQ(TryOpen(m_store.get(), a, MAPI_BEST_ACCESS, gone.put()), MAPI_E_NOT_FOUND);
    // Keys are never handed out again.
    std::string c = AddMessage(m_contacts.get(), u"IPM.Contact", u"C");
    EXPECT_NE(c, a);
    // Deleting a message through a folder that does not hold it does nothing.
    SBinary cb{static_cast<ULONG>(c.size()), reinterpret_cast<LPBYTE>(c.data())};
    ENTRYLIST one{1, &cb};
    EXPECT_EQ(m_root->DeleteMessages(&one, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(m_contacts->DeleteMessages(&one, 0, nullptr, 0), S_OK);
}

TEST_F(StoreTest, LongTermIdsInContentsTablesArePerStore) {
    ASSERT_EQ(admin().AddStore("Outlook", "Exchange-like",
                               NX_MAPI_STORE_LONGTERM_IDS | NX_MAPI_STORE_STANDARD_FOLDERS, nullptr, 0),
              S_OK);
    auto session = Logon();
    ComPtr<IMAPITable> stores;
    ASSERT_EQ(session->GetMsgStoresTable(0, stores.put()), S_OK);
    SizedSPropTagArray<3> scols = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
    RowSetPtr srows = Rows(stores.get(), scols.get());
    ASSERT_EQ(srows.size(), 2u);
    EXPECT_EQ(srows[0].lpProps[0].Value.b, 1);
    EXPECT_EQ(srows[1].lpProps[0].Value.b, 0);
    EXPECT_EQ(std::u16string(srows[1].lpProps[2].Value.lpszW), u"Exchange-like");

    for (ULONG s = 0; s < 2; ++s) {
        const SBinary& sid = srows[s].lpProps[1].Value.bin;
        ComPtr<IMsgStore> store;
        ASSERT_EQ(session->OpenMsgStore(0, sid.cb, reinterpret_cast<LPENTRYID>(sid.lpb), nullptr, 0x19,
                                        store.put()),
                  S_OK);
        auto contacts = ContactsOf(store.get());
        std::string id = AddMessage(contacts.get(), u"IPM.Contact", u"X");
        ComPtr<IMAPITable> table;
        ASSERT_EQ(contacts->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
        SizedSPropTagArray<2> cols = {2, {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE}};
        RowSetPtr rows = Rows(table.get(), cols.get());
        ASSERT_EQ(rows.size(), 1u);
        if (s == 0) {
            EXPECT_EQ(Bytes(rows[0].lpProps[0].Value.bin), id);
            EXPECT_EQ(PROP_TYPE(rows[0].lpProps[1].ulPropTag), PT_ERROR);
        } else {
            // The table's PR_ENTRYID is the short-term form; both open the same message.
            std::string shortTerm = Bytes(rows[0].lpProps[0].Value.bin);
            EXPECT_NE(shortTerm, id);
            EXPECT_EQ(Bytes(rows[0].lpProps[1].Value.bin), id);
            auto m = Open<IMessage>(store.get(), shortTerm);
            EXPECT_EQ(BinProp(m.get(), PR_ENTRYID), id);
        }
        // A folder id of one store does not open in the other.
        ComPtr<IUnknown> obj;
        EXPECT_EQ(TryOpen(store.get(), BinProp(m_contacts.get(), PR_ENTRYID), MAPI_BEST_ACCESS, obj.put()),
                  s == 0 ? S_OK : MAPI_E_NOT_FOUND);
    }
}

TEST_F(StoreTest, LargeAttachmentTravelsThroughTheStreamOnly) {
    std::string photo(5 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>((i * 131) ^ (i >> 9));
    std::string eid;
    {
        ComPtr<IMessage> msg;
        ASSERT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.put()), S_OK);
        for (int k = 0; k < 2; ++k) {
            ULONG num = 99;
            ComPtr<IAttach> att;
            ASSERT_EQ(msg->CreateAttach(nullptr, MAPI_DEFERRED_ERRORS, &num, att.put()), S_OK);
            EXPECT_EQ(num, static_cast<ULONG>(k));
            SPropValue v[2] = {Val(PR_ATTACHMENT_CONTACTPHOTO, {.b = k == 0}),
                               Val(PR_ATTACH_METHOD, {.l = ATTACH_BY_VALUE})};
            ASSERT_EQ(att->SetProps(2, v, nullptr), S_OK);
            WriteAll(
                Stream(att.get(), PR_ATTACH_DATA_BIN, MAPI_MODIFY | MAPI_CREATE | MAPI_BEST_ACCESS).get(),
                k == 0 ? photo : std::string("tiny"));
            ASSERT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        eid = BinProp(msg.get(), PR_ENTRYID);
    }
    auto session = Logon();
    auto store = DefaultStore(session.get());
    auto msg = Open<IMessage>(store.get(), eid, MAPI_MODIFY | MAPI_BEST_ACCESS);
    MapiBuffer<SPropValue> has(fn().MAPIFreeBuffer);
    ASSERT_EQ(fn().HrGetOneProp(msg.get(), PR_HASATTACH, has.put()), S_OK);
    EXPECT_EQ(has->Value.b, 1);

    ComPtr<IMAPITable> table;
    ASSERT_EQ(msg->GetAttachmentTable(0, table.put()), S_OK);
    SizedSPropTagArray<3> cols = {3, {PR_ATTACH_NUM, PR_ATTACH_DATA_BIN, PR_ATTACH_SIZE}};
    SPropValue yes = Val(PR_ATTACHMENT_CONTACTPHOTO, {.b = 1});
    SRestriction photoOnly = PropRes(RELOP_EQ, &yes);
    RowSetPtr rows = Rows(table.get(), cols.get(), &photoOnly);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].lpProps[0].Value.l, 0);
    EXPECT_EQ(rows[0].lpProps[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_DATA_BIN)));
    EXPECT_EQ(rows[0].lpProps[1].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(rows[0].lpProps[2].Value.l, static_cast<LONG>(photo.size()));
    // The small one comes back in the table itself. (A null restriction keeps the table's own.)
    ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
    rows = Rows(table.get(), cols.get());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Bytes(rows[1].lpProps[1].Value.bin), "tiny");

    ComPtr<IAttach> att;
    ASSERT_EQ(msg->OpenAttach(0, nullptr, MAPI_BEST_ACCESS, att.put()), S_OK);
    EXPECT_TRUE(ReadAll(Stream(att.get(), PR_ATTACH_DATA_BIN).get()) == photo);
    att.reset();

    // DeleteAttach reaches the store with the message's SaveChanges.
    ASSERT_EQ(msg->DeleteAttach(0, 0, nullptr, 0), S_OK);
    EXPECT_EQ(msg->OpenAttach(0, nullptr, 0, att.put()), MAPI_E_NOT_FOUND);
    ASSERT_EQ(msg->DeleteAttach(1, 0, nullptr, 0), S_OK);
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(Rows(table.get(), cols.get()).size(), 0u);
    ASSERT_EQ(fn().HrGetOneProp(msg.get(), PR_HASATTACH, has.put()), S_OK);
    EXPECT_EQ(has->Value.b, 0);
}

TEST_F(StoreTest, BodyStreamKeepsEveryCodeUnit) {
    std::u16string body = u"line1\r\n";
    body += char16_t(0xD83D);
    body += char16_t(0xDE00);
    body += char16_t(0xDC00);             // unpaired
    body += std::u16string(40000, u'x');  // larger than a table returns
    ComPtr<IMessage> msg;
    ASSERT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.put()), S_OK);
    WriteAll(Stream(msg.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY).get(),
             std::string(reinterpret_cast<const char*>(body.data()), body.size() * 2));
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::string eid = BinProp(msg.get(), PR_ENTRYID);
    msg.reset();
    auto session = Logon();
    auto store = DefaultStore(session.get());
    auto again = Open<IMessage>(store.get(), eid);
    MapiBuffer<SPropValue> v(fn().MAPIFreeBuffer);
    EXPECT_EQ(fn().HrGetOneProp(again.get(), PR_BODY_W, v.put()), MAPI_E_NOT_ENOUGH_MEMORY);
    auto r = Stream(again.get(), PR_BODY_W);
    STATSTG st{};
    ASSERT_EQ(r->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, body.size() * 2);
    EXPECT_TRUE(ReadAll(r.get()) == std::string(reinterpret_cast<const char*>(body.data()), body.size() * 2));
    EXPECT_EQ(r->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
    ComPtr<IStream> none;
    EXPECT_EQ(TryStream(again.get(), PR_SUBJECT_W, 0, none), MAPI_E_NOT_FOUND);
}

TEST_F(StoreTest, MessagesOpenReadOnlyUnlessWriteAccessIsAsked) {
    SPropValue photo = Val(PR_ATTACH_METHOD, {.l = ATTACH_BY_VALUE});
    std::string eid;
    {
        ComPtr<IMessage> msg;
        ASSERT_EQ(m_contacts->CreateMessage(nullptr, 0, msg.put()), S_OK);
        ComPtr<IAttach> att;
        ULONG num = 0;
        ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, att.put()), S_OK);
        ASSERT_EQ(att->SetProps(1, &photo, nullptr), S_OK);
        ASSERT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        att.reset();
        ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        eid = BinProp(msg.get(), PR_ENTRYID);
    }
    struct Case {
        const char* name;
        ULONG openFlags;    // OpenEntry on the folder
        ULONG attachFlags;  // OpenAttach
        HRESULT message;    // each write on the message
        HRESULT attach;     // each write on its attachment
    } cases[] = {
        {"no access asked", 0, MAPI_BEST_ACCESS, MAPI_E_NO_ACCESS, MAPI_E_NO_ACCESS},
        {"best access", MAPI_BEST_ACCESS, MAPI_BEST_ACCESS, S_OK, S_OK},
        {"modify", MAPI_MODIFY, MAPI_MODIFY, S_OK, S_OK},
        {"writable message, attachment opened for reading", MAPI_MODIFY | MAPI_BEST_ACCESS, 0, S_OK,
         MAPI_E_NO_ACCESS},
    };
    SizedSPropTagArray<1> priority = {1, {PR_PRIORITY}};
    SPropValue v = Val(PR_PRIORITY, {.l = 1});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IMessage> msg;
        ASSERT_EQ(TryOpen(m_contacts.get(), eid, c.openFlags, msg.put()), S_OK);
        EXPECT_FALSE(BinProp(msg.get(), PR_ENTRYID).empty());  // reading always works
        ComPtr<IAttach> att;
        ASSERT_EQ(msg->OpenAttach(0, nullptr, c.attachFlags, att.put()), S_OK);
        ComPtr<IStream> stream;
        EXPECT_EQ(att->SetProps(1, &photo, nullptr), c.attach);
        EXPECT_EQ(TryStream(att.get(), PR_ATTACH_DATA_BIN, MAPI_CREATE | MAPI_MODIFY, stream), c.attach);
        EXPECT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), c.attach);
        att.reset();
        stream.reset();
        EXPECT_EQ(msg->SetProps(1, &v, nullptr), c.message);
        EXPECT_EQ(msg->DeleteProps(priority.get(), nullptr), c.message);
        EXPECT_EQ(TryStream(msg.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY, stream), c.message);
        stream.reset();
        ULONG num = 0;
        EXPECT_EQ(msg->CreateAttach(nullptr, 0, &num, att.put()), c.message);
        att.reset();
        EXPECT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), c.message);
        // Not saved: the attachment stays for the next case.
        EXPECT_EQ(msg->DeleteAttach(0, 0, nullptr, 0), c.message);
    }
}

TEST_F(StoreTest, DeletedObjectsReportThemselvesDeleted) {
    auto folder = CreateFolder(m_contacts.get(), u"Doomed", u"IPF.Contact");
    auto child = CreateFolder(folder.get(), u"Child", u"IPF.Contact");
    std::string msgId = AddMessage(folder.get(), u"IPM.Contact", u"M");
    std::string folderId = BinProp(folder.get(), PR_ENTRYID), childId = BinProp(child.get(), PR_ENTRYID);
    auto open = Open<IMessage>(m_store.get(), msgId, MAPI_MODIFY | MAPI_BEST_ACCESS);
    auto del = [&](IMAPIFolder* parent, const std::string& id, ULONG flags) {
        return parent->DeleteFolder(static_cast<ULONG>(id.size()),
                                    reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())), 0, nullptr,
                                    flags);
    };
    struct Case {
        const char* name;
        IMAPIFolder* parent;
        const std::string& id;
        ULONG flags;
        HRESULT hr;
    } cases[] = {
        {"not a child of this folder", m_root.get(), folderId, DEL_FOLDERS | DEL_MESSAGES, MAPI_E_NOT_FOUND},
        {"has sub-folders", m_contacts.get(), folderId, DEL_MESSAGES, MAPI_E_HAS_FOLDERS},
        {"has messages", m_contacts.get(), folderId, DEL_FOLDERS, MAPI_E_HAS_MESSAGES},
        {"everything", m_contacts.get(), folderId, DEL_FOLDERS | DEL_MESSAGES, S_OK},
        {"again", m_contacts.get(), folderId, DEL_FOLDERS | DEL_MESSAGES, MAPI_E_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(del(c.parent, c.id, c.flags), c.hr);
    }
    // Objects still held see that they are gone; nothing below the folder survives.
    ComPtr<IMAPITable> table;
    EXPECT_EQ(folder->GetContentsTable(0, table.put()), MAPI_E_OBJECT_DELETED);
    SPropValue v = Val(PR_PRIORITY, {.l = 1});
    ASSERT_EQ(open->SetProps(1, &v, nullptr), S_OK);
    EXPECT_EQ(open->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_DELETED);
    for (const std::string* id : {&childId, &msgId}) {
        ComPtr<IUnknown> obj;
        EXPECT_EQ(TryOpen(m_store.get(), *id, MAPI_BEST_ACCESS, obj.put()), MAPI_E_NOT_FOUND);
    }
}

TEST_F(StoreTest, ConcurrentWritersFromManyThreads) {
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads share the test's folder object, half log on by themselves.
            ComPtr<IMAPISession> session;
            ComPtr<IMsgStore> store;
            ComPtr<IMAPIFolder> folder = m_contacts;
            if (t % 2) {
                session = Logon();
                store = DefaultStore(session.get());
                folder = Open<IMAPIFolder>(store.get(), BinProp(m_contacts.get(), PR_ENTRYID));
            }
            for (int i = 0; i < kEach; ++i) AddMessage(folder.get(), u"IPM.Contact", u"T");
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(Subjects(m_contacts.get(), nullptr).size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace nx::test
