// Messages embedded in attachments (PR_ATTACH_DATA_OBJ opened as IID_IMessage) through the ABI:
// transacted into the attachment and then the message, read back, edited, replaced, and gone
// with their attachment or message; never an item of a folder.
#include <sqlite3.h>

#include "tests/platform/mapi32/MapiWorld.h"

namespace nx::test {
namespace {

class EmbeddedTest : public MapiWorld {
protected:
    void SetUp() override {
        MapiWorld::SetUp();
        InitDefault();
        m_session = Logon();
        m_store = DefaultStore(m_session.get());
        ASSERT_TRUE(m_store);
        m_folder = ContactsOf(m_store.get());
        ASSERT_TRUE(m_folder);
    }
    void TearDown() override {
        m_folder.reset();
        m_store.reset();
        m_session.reset();
        MapiWorld::TearDown();
    }

    static HRESULT TryEmbedded(IAttach* att, ULONG flags, ComPtr<IMessage>& out) {
        return att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, flags,
                                 reinterpret_cast<IUnknown**>(out.put()));
    }
    static std::u16string Subject(IMAPIProp* obj) {
        MapiBuffer<SPropValue> v(fn().MAPIFreeBuffer);
        if (fn().HrGetOneProp(obj, PR_SUBJECT_W, v.put()) != S_OK) return u"(none)";
        return v->Value.lpszW;
    }
    static void Set(IMAPIProp* obj, std::vector<SPropValue> values) {
        ASSERT_EQ(obj->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr), S_OK);
    }

    // A message of the folder with one attachment embedding a message of `subject`, saved in the
    // order MAPI prescribes: embedded message, attachment, message. Returns the message's entry id.
    std::string AddWithEmbedded(const char16_t* subject, const std::string& largeBody = {}) {
        ComPtr<IMessage> msg;
        EXPECT_EQ(m_folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
        Set(msg.get(), {Text(PR_MESSAGE_CLASS_W, u"IPM.Contact"), Text(PR_SUBJECT_W, u"outer")});
        ULONG num = 0;
        ComPtr<IAttach> att;
        EXPECT_EQ(msg->CreateAttach(nullptr, 0, &num, att.put()), S_OK);
        Set(att.get(),
            {Val(PR_ATTACH_METHOD, {.l = ATTACH_EMBEDDED_MSG}), Val(PR_ATTACHMENT_HIDDEN, {.b = 1})});
        ComPtr<IMessage> inner;
        EXPECT_EQ(TryEmbedded(att.get(), MAPI_CREATE | MAPI_MODIFY, inner), S_OK);
        Set(inner.get(), {Text(PR_MESSAGE_CLASS_W, u"IPM.OLE.CLASS"), Text(PR_SUBJECT_W, subject)});
        if (!largeBody.empty())
            WriteAll(Stream(inner.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY).get(), largeBody);
        EXPECT_EQ(inner->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        EXPECT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        EXPECT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return BinProp(msg.get(), PR_ENTRYID);
    }

    // The embedded message of attachment 0 of a message opened afresh (another session).
    std::u16string StoredSubject(const std::string& eid) {
        auto session = Logon();
        auto store = DefaultStore(session.get());
        auto msg = Open<IMessage>(store.get(), eid);
        ComPtr<IAttach> att;
        if (msg->OpenAttach(0, nullptr, 0, att.put()) != S_OK) return u"(no attachment)";
        ComPtr<IMessage> inner;
        if (TryEmbedded(att.get(), 0, inner) != S_OK) return u"(no message)";
        return Subject(inner.get());
    }

    // How many rows of the store file are of `kind` (5: embedded messages).
    std::int64_t CountKind(int kind) {
        NxMapiProfileList* list = nullptr;
        EXPECT_EQ(admin().ListProfiles(&list), S_OK);
        std::string path = list->profiles[0].stores[0].path;
        admin().FreeProfileList(list);
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM objects WHERE kind = ?1", -1, &st, nullptr),
                  SQLITE_OK);
        sqlite3_bind_int(st, 1, kind);
        std::int64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }

    ComPtr<IMAPISession> m_session;
    ComPtr<IMsgStore> m_store;
    ComPtr<IMAPIFolder> m_folder;
};

constexpr int kEmbeddedRows = 5;

TEST_F(EmbeddedTest, StoredWithItsAttachmentAndReadBackButNoItemOfTheFolder) {
    std::string body(40000 * 2, 'b');  // larger than a record keeps inline
    const std::string eid = AddWithEmbedded(u"inner one", body);
    EXPECT_EQ(StoredSubject(eid), u"inner one");
    EXPECT_EQ(CountKind(kEmbeddedRows), 1);

    auto msg = Open<IMessage>(m_store.get(), eid);
    ComPtr<IAttach> att;
    ASSERT_EQ(msg->OpenAttach(0, nullptr, 0, att.put()), S_OK);
    ComPtr<IMessage> inner;
    ASSERT_EQ(TryEmbedded(att.get(), 0, inner), S_OK);
    EXPECT_TRUE(ReadAll(Stream(inner.get(), PR_BODY_W).get()) == body);
    // No entry id: it is nobody's item. Read-only like the attachment it was opened from.
    EXPECT_TRUE(BinProp(inner.get(), PR_ENTRYID).empty());
    SPropValue v = Text(PR_SUBJECT_W, u"x");
    EXPECT_EQ(inner->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(TryEmbedded(att.get(), MAPI_MODIFY, inner), MAPI_E_NO_ACCESS);

    // The folder lists and counts the outer message only.
    ComPtr<IMAPITable> table;
    ASSERT_EQ(m_folder->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
    SizedSPropTagArray<1> cols = {1, {PR_SUBJECT_W}};
    RowSetPtr rows = Rows(table.get(), cols.get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::u16string(rows[0].lpProps[0].Value.lpszW), u"outer");
    MapiBuffer<SPropValue> count(fn().MAPIFreeBuffer);
    ASSERT_EQ(fn().HrGetOneProp(m_folder.get(), PR_CONTENT_COUNT, count.put()), S_OK);
    EXPECT_EQ(count->Value.l, 1);

    // An attachment of another method has no message to open.
    ComPtr<IMessage> writable = Open<IMessage>(m_store.get(), eid, MAPI_MODIFY);
    ULONG num = 0;
    ComPtr<IAttach> plain;
    ASSERT_EQ(writable->CreateAttach(nullptr, 0, &num, plain.put()), S_OK);
    EXPECT_EQ(TryEmbedded(plain.get(), 0, inner), MAPI_E_NOT_FOUND);
}

// Each save hands the edits one level up; only the message's save writes the file.
TEST_F(EmbeddedTest, NothingIsStoredBeforeTheMessageSaves) {
    struct Case {
        bool saveInner, saveAttach, saveMessage;
        const char16_t* stored;
    };
    const Case cases[] = {
        {false, true, true, u"(no message)"},
        {true, false, true, u"(no attachment)"},
        {true, true, false, u"(no attachment)"},
        {true, true, true, u"saved"},
    };
    for (const Case& c : cases) {
        ComPtr<IMessage> msg;
        ASSERT_EQ(m_folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
        Set(msg.get(), {Text(PR_MESSAGE_CLASS_W, u"IPM.Contact")});
        ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);  // so that it exists in every case
        const std::string eid = BinProp(msg.get(), PR_ENTRYID);
        ULONG num = 0;
        ComPtr<IAttach> att;
        ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, att.put()), S_OK);
        Set(att.get(), {Val(PR_ATTACH_METHOD, {.l = ATTACH_EMBEDDED_MSG})});
        ComPtr<IMessage> inner;
        ASSERT_EQ(TryEmbedded(att.get(), MAPI_CREATE | MAPI_MODIFY, inner), S_OK);
        Set(inner.get(), {Text(PR_SUBJECT_W, u"saved")});
        if (c.saveInner) {
            ASSERT_EQ(inner->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        if (c.saveAttach) {
            ASSERT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        if (c.saveMessage) {
            ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        EXPECT_EQ(StoredSubject(eid), c.stored) << c.saveInner << c.saveAttach << c.saveMessage;
    }
}

TEST_F(EmbeddedTest, EditKeepsWhatItDoesNotTouchAndCreateReplacesWhole) {
    std::string body(40000 * 2, 'q');
    const std::string eid = AddWithEmbedded(u"first", body);
    struct Case {
        ULONG flags;
        const char16_t* subject;
        bool bodyKept;
        std::int64_t rows;
    };
    const Case cases[] = {
        {MAPI_MODIFY, u"edited", true, 1},
        {MAPI_CREATE | MAPI_MODIFY, u"replaced", false, 1},
    };
    for (const Case& c : cases) {
        auto msg = Open<IMessage>(m_store.get(), eid, MAPI_MODIFY);
        ComPtr<IAttach> att;
        ASSERT_EQ(msg->OpenAttach(0, nullptr, MAPI_MODIFY, att.put()), S_OK);
        ComPtr<IMessage> inner;
        ASSERT_EQ(TryEmbedded(att.get(), c.flags, inner), S_OK);
        Set(inner.get(), {Text(PR_SUBJECT_W, c.subject)});
        ASSERT_EQ(inner->SaveChanges(0), S_OK);
        // The attachment sees its message's saved edits before the message stores them.
        ComPtr<IMessage> again;
        ASSERT_EQ(TryEmbedded(att.get(), 0, again), S_OK);
        EXPECT_EQ(Subject(again.get()), c.subject);
        ASSERT_EQ(att->SaveChanges(0), S_OK);
        ASSERT_EQ(msg->SaveChanges(0), S_OK);
        EXPECT_EQ(StoredSubject(eid), c.subject);
        EXPECT_EQ(CountKind(kEmbeddedRows), c.rows);

        auto reread = Open<IMessage>(m_store.get(), eid);
        ASSERT_EQ(reread->OpenAttach(0, nullptr, 0, att.put()), S_OK);
        ASSERT_EQ(TryEmbedded(att.get(), 0, inner), S_OK);
        ComPtr<IStream> s;
        EXPECT_EQ(TryStream(inner.get(), PR_BODY_W, 0, s), c.bodyKept ? S_OK : MAPI_E_NOT_FOUND);
        if (c.bodyKept) {
            EXPECT_TRUE(ReadAll(s.get()) == body);
        }
    }
}

TEST_F(EmbeddedTest, GoesWithItsAttachmentAndWithItsMessage) {
    const std::string first = AddWithEmbedded(u"a");
    const std::string second = AddWithEmbedded(u"b");
    EXPECT_EQ(CountKind(kEmbeddedRows), 2);

    auto msg = Open<IMessage>(m_store.get(), first, MAPI_MODIFY);
    ASSERT_EQ(msg->DeleteAttach(0, 0, nullptr, 0), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
    EXPECT_EQ(CountKind(kEmbeddedRows), 1);
    EXPECT_EQ(StoredSubject(second), u"b");

    SBinary id{static_cast<ULONG>(second.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(second.data()))};
    ENTRYLIST list{1, &id};
    ASSERT_EQ(m_folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    EXPECT_EQ(CountKind(kEmbeddedRows), 0);
}

}  // namespace
}  // namespace nx::test
