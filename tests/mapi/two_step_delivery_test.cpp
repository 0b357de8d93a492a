// A read whose host answers each document in two steps (hand-over, then answer: the agent's
// callback client) prepares the next document while the host has the one before. The host must
// not be able to tell: the same documents, the same answer and the same trace lines as with a
// host that answers in one step, wherever it fails; a picture file is never written while the
// host may still be reading the one of the same name; and a write the host makes while it has a
// document is in the documents that follow.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/Encoding.h"
#include "contacts/ContactPicture.h"
#include "contacts/ContactWrite.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"
#include "tests/mapi/MapiTestWorld.h"
#include "tests/mapi/TraceLines.h"

namespace {

using NAMESPACE_MAPI::CMAPIObject;
const std::string kContacts = "Personal Folders/Top of Personal Folders/Contacts";
constexpr uint32_t kCallFailed = 1726;  // RPC_S_CALL_FAILED

std::string Between(const std::string& xml, const std::string& open, const std::string& close) {
    const auto at = xml.find(open);
    if (at == std::string::npos) return "";
    const auto end = xml.find(close, at + open.size());
    return end == std::string::npos ? "" : xml.substr(at + open.size(), end - at - open.size());
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The photo of the contact named `name`: the bytes name it, so a file shows whose it is.
std::string PhotoOf(const std::string& name) {
    return "\xFF\xD8\xFF photo of " + name;
}

// What the host saw of one read: the documents in the order they reached it, and every trace line.
struct Seen {
    int result = -1;
    std::vector<std::string> documents;
    std::vector<std::string> trace;
    std::vector<std::string> faults;  // what the host could have told apart
};

class TwoStepDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        NX_REQUIRE_MAPI_RUNTIME();
        world = std::make_unique<nx::test::MapiTestWorld>();
        world->Admin({"init"});
        NAMESPACE_MAPI::CMAPIConfig config;
        config.workFolder = (world->Root() / "work").string();
        std::filesystem::create_directories(config.workFolder);
        mapi.SetConfig(config);
        ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
        for (const char* name : {"a", "b", "c", "d"}) ids[name] = Put(name, name != std::string("c"));
    }
    void TearDown() override { mapi.MAPILogOff(); }

    // A contact with a first name and, if asked, a photo (every photo the same attachment number,
    // so every picture file the same name).
    std::string Put(const std::string& name, bool photo) {
        ComPtr<IMessage> message;
        EXPECT_TRUE(SUCCEEDED(mapi.ContactFolder()->CreateMessage(nullptr, 0, message.put())));
        const std::u16string first = nx::sys::Utf8ToUtf16(name);
        SPropValue values[2] = {};
        values[0].ulPropTag = PR_MESSAGE_CLASS_W;
        values[0].Value.lpszW = const_cast<char16_t*>(u"IPM.Contact");
        values[1].ulPropTag = PR_GIVEN_NAME_W;
        values[1].Value.lpszW = const_cast<char16_t*>(first.c_str());
        EXPECT_TRUE(SUCCEEDED(message->SetProps(2, values, nullptr)));
        if (photo) {
            const std::string bytes = PhotoOf(name);
            NAMESPACE_MAPI::SetContactPicture(message.get(), &bytes);
        }
        EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
        return NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
    }

    // The host has `document`: its picture file must hold its own contact's photo.
    void CheckPicture(const std::string& document, Seen& seen) const {
        const std::string path = Between(document, "<PICPath>", "</PICPath>");
        if (path.empty()) return;
        const std::string name = Between(document, "<FirstName>", "</FirstName>");
        if (FileText(path) != PhotoOf(name))
            seen.faults.push_back("the picture of " + name + " was overwritten");
    }

    // One read of the contacts under `anchor` ("" a full read) with a host that fails the
    // document numbered `failAt` (1 the first; 0 none) and, while it has document `writeAt`,
    // renames contact b through the write procedure.
    Seen Read(bool twoStep, const std::string& anchor, int failAt, int writeAt = 0) {
        Seen seen;
        int handed = 0;
        bool onItsWay = false;
        auto handOver = [&, this](std::string_view xml) {
            seen.documents.emplace_back(xml);
            ++handed;
            CheckPicture(seen.documents.back(), seen);
        };
        // What the host does while it has the document, before it answers.
        auto handle = [&, this] {
            if (handed == writeAt) {
                NAMESPACE_MAPI::CContactEx record;
                NAMESPACE_MAPI::XmlToContactEx("<Contact><lFlag>4</lFlag><PIMID>" + ids["b"] +
                                                   "</PIMID><FirstName>b" + std::to_string(++renames) +
                                                   "</FirstName></Contact>",
                                               record);
                if (mapi.WriteContacts(&record) != 0) seen.faults.push_back("the write failed");
            }
        };
        if (twoStep) {
            mapi.SetContactSink({[&](std::string_view xml) {
                                     if (onItsWay) seen.faults.push_back("two documents on their way");
                                     onItsWay = true;
                                     handOver(xml);
                                     return 0u;
                                 },
                                 [&] {
                                     if (!onItsWay) seen.faults.push_back("an answer to nothing collected");
                                     onItsWay = false;
                                     CheckPicture(seen.documents.back(), seen);  // still the host's
                                     handle();
                                     return handed == failAt ? kCallFailed : 0u;
                                 }});
        } else {
            mapi.SetContactSink([&](std::string_view xml) {
                handOver(xml);
                handle();
                return handed == failAt ? kCallFailed : 0u;
            });
        }
        nx::test::TraceLines trace;
        seen.result = mapi.ReadContacts("", anchor.c_str());
        seen.trace = trace.Take(anchor);  // the run's own anchor reads the same in every run
        if (onItsWay) seen.faults.push_back("a document left on its way");
        return seen;
    }

    std::unique_ptr<nx::test::MapiTestWorld> world;
    CMAPIObject mapi;
    std::map<std::string, std::string> ids;
    int renames = 0;
};

// Full reads and change reads, failing at every kind of place: none, the first document, one in
// the middle, the last; a change read's update and its deletion notice. Each read runs under its
// own anchor, so both hosts start from the same journal state.
TEST_F(TwoStepDelivery, TheHostSeesWhatAOneStepHostSees) {
    const struct {
        const char* anchor;  // "" a full read; a change read's anchor gets the case's and run's numbers
        int failAt;
        int result;
        std::size_t documents;
    } cases[] = {
        {"", 0, 0, 3},    {"", 1, 1, 1},       {"", 2, 1, 2},       {"", 3, 1, 3},       {"new", 0, 0, 3},
        {"new", 2, 1, 2}, {"edited", 0, 0, 2}, {"edited", 1, 1, 1}, {"edited", 2, 1, 2},
    };
    auto anchorOf = [](const char* anchor, std::size_t index, int run) {
        return *anchor ? std::string(anchor) + "-" + std::to_string(index) + "-" + std::to_string(run) : "";
    };
    // The "edited" anchors know every contact; then d changes (a last name) and c is deleted.
    for (std::size_t i = 0; i < std::size(cases); ++i)
        for (int run = 0; run < 2 && cases[i].anchor == std::string("edited"); ++run)
            ASSERT_EQ(Read(false, anchorOf(cases[i].anchor, i, run), 0).result, 0);
    {
        ComPtr<IMessage> d;
        const std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(ids["d"]);
        ASSERT_TRUE(SUCCEEDED(NAMESPACE_COMMON::OpenEntryAs(
            mapi.ContactFolder(), static_cast<ULONG>(id.size()), id.data(), MAPI_MODIFY, d)));
        SPropValue values[2] = {};
        values[0].ulPropTag = PR_SURNAME_W;
        values[0].Value.lpszW = const_cast<char16_t*>(u"Dee");
        // A time of its own: a save within the same tick as the contact's making would keep its time.
        values[1].ulPropTag = PR_LAST_MODIFICATION_TIME;
        values[1].Value.ft = {0, 0x01E00000};
        ASSERT_TRUE(SUCCEEDED(d->SetProps(2, values, nullptr)));
        ASSERT_EQ(d->SaveChanges(0), S_OK);
        std::vector<uint8_t> gone = NAMESPACE_COMMON::HexStringToBinary(ids["c"]);
        SBinary bin{static_cast<ULONG>(gone.size()), gone.data()};
        ENTRYLIST list{1, &bin};
        ASSERT_EQ(mapi.ContactFolder()->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        Seen runs[2];
        for (int run = 0; run < 2; ++run) runs[run] = Read(run == 1, anchorOf(c.anchor, i, run), c.failAt);
        const std::string what = std::string(c.anchor) + " failing at " + std::to_string(c.failAt);
        EXPECT_EQ(runs[0].result, c.result) << what;
        EXPECT_EQ(runs[0].documents.size(), c.documents) << what;
        EXPECT_EQ(runs[1].result, runs[0].result) << what;
        EXPECT_EQ(runs[1].documents, runs[0].documents) << what;
        EXPECT_EQ(runs[1].trace, runs[0].trace) << what;
        EXPECT_TRUE(runs[0].faults.empty()) << what << ": " << runs[0].faults.front();
        EXPECT_TRUE(runs[1].faults.empty()) << what << ": " << runs[1].faults.front();
    }
}

// While the host has a document it renames contact b through the write procedure (it may call on
// another connection meanwhile): the document of b that follows has the new name, as a host that
// answers in one step gets it, although b's document was first prepared before the write.
TEST_F(TwoStepDelivery, AWriteWhileTheHostHasADocumentIsInTheNextDocument) {
    for (int twoStep = 0; twoStep < 2; ++twoStep) {
        // A change read opens each message as it goes (a full read takes a page of rows at once).
        const Seen seen = Read(twoStep == 1, "fresh-" + std::to_string(twoStep), 0, 1);  // a's, then b's
        EXPECT_EQ(seen.result, 0) << twoStep;
        ASSERT_EQ(seen.documents.size(), 4u) << twoStep;
        EXPECT_EQ(Between(seen.documents[1], "<FirstName>", "</FirstName>"), "b" + std::to_string(renames))
            << twoStep;
        EXPECT_TRUE(seen.faults.empty()) << twoStep << ": " << seen.faults.front();
    }
}

}  // namespace
