// Contact reads against the floor of the same work done raw, in the same run and the same world:
//   FullRead/agent      ReadContacts "" "" of a folder of N contacts (every field, one in ten with
//                       a 20 KB photo): rows, messages, pictures, documents, one RPC callback each
//   FullRead/baseline   the floor: SQLite read of the same rows (messages and attachments) straight
//                       from the store file, pugixml serialising the same documents, and an RPC
//                       round trip of the same document bytes to the same callback server
//   ChangeRead/agent    ReadContacts "" "bench" when nothing changed since the last one: count,
//                       snapshot, the journal's comparison
//   ChangeRead/baseline the snapshot alone (rows of the three columns into journal entries)
// Both are measured as CPU time of the whole process (the callback server runs on its threads)
// and reported per contact. NX_CONTACTS_BENCH_COUNT (default 10000) sets N; a second folder of
// NX_CONTACTS_BENCH_SCALE (default 0: none) times as many contacts gives Scaling/agent, whose
// ratio to Scaling/baseline (the N-contact read again) is the scaling factor.
#include <string>
#include <vector>

#include "bench/support/ReadBench.h"
#include "contacts/ContactXml.h"

namespace {

std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// N contacts with every field; one in ten with a 20 KB photo.
bool Fill(IMAPIFolder* folder, int n) {
    // PSETID_Address ids of the named fields (the same for every message of the store).
    static const LONG kLids[] = {0x8005, 0x8049, 0x8046, 0x8047, 0x8045, 0x8048, 0x804A, 0x802C,
                                 0x802D, 0x8082, 0x8083, 0x8092, 0x8093, 0x80A2, 0x80A3, 0x8062};
    std::vector<nx::bench::NamedProp> props;
    for (LONG lid : kLids) props.push_back({&PSETID_Address, lid, PT_UNICODE});
    std::vector<ULONG> named;
    std::string photo(20 * 1024, '\0');
    for (std::size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 7);
    for (int i = 0; i < n; ++i) {
        ComPtr<IMessage> msg;
        if (FAILED(folder->CreateMessage(nullptr, 0, msg.put()))) return false;
        if (named.empty() && (named = nx::bench::NamedTags(msg.get(), props)).empty()) return false;
        std::vector<std::u16string> texts;
        texts.reserve(128);
        std::vector<SPropValue> values;
        auto text = [&](ULONG tag, std::u16string s) {
            texts.push_back(std::move(s));
            SPropValue v{};
            v.ulPropTag = tag;
            v.Value.lpszW = texts.back().data();
            values.push_back(v);
        };
        const std::u16string num = U16(std::to_string(i));
        text(PR_MESSAGE_CLASS_W, u"IPM.Contact");
        for (ULONG tag : NAMESPACE_MAPI::ContactColumns()) {
            if (PROP_TYPE(tag) == PT_UNICODE) text(tag, u"Value " + num);
            if (PROP_TYPE(tag) == PT_SYSTIME && tag != PR_CREATION_TIME && tag != PR_LAST_MODIFICATION_TIME) {
                SPropValue v{};
                v.ulPropTag = tag;
                v.Value.ft = {0x8C2A4000u, 0x01B0B7F2u};
                values.push_back(v);
            }
        }
        for (ULONG tag : named) text(tag, u"named " + num);
        text(PR_BODY_W, u"A note of a few words about contact " + num + u"\r\nand a second line.");
        if (FAILED(msg->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr))) return false;
        if (i % 10 == 0) {
            ComPtr<IAttach> attach;
            ULONG num2 = 0;
            if (FAILED(msg->CreateAttach(nullptr, 0, &num2, attach.put()))) return false;
            SPropValue a[3] = {};
            a[0].ulPropTag = PR_ATTACH_METHOD;
            a[0].Value.l = 1;
            a[1].ulPropTag = PR_ATTACHMENT_CONTACTPHOTO;
            a[1].Value.b = 1;
            a[2].ulPropTag = PR_ATTACH_DATA_BIN;
            a[2].Value.bin = {static_cast<ULONG>(photo.size()), reinterpret_cast<LPBYTE>(photo.data())};
            if (FAILED(attach->SetProps(3, a, nullptr)) || FAILED(attach->SaveChanges(0))) return false;
        }
        if (FAILED(msg->SaveChanges(0))) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    static const nx::bench::ReadKind kContactsKind = {
        "nxcontacts-bench",
        "contacts",
        "NX_CONTACTS_BENCH_COUNT",
        "NX_CONTACTS_BENCH_SCALE",
        u"IPM.Contact",
        nx::agent::kDeliverContact,
        &NAMESPACE_MAPI::CMAPIObject::ContactFolder,
        &NAMESPACE_MAPI::CMAPIObject::SetContactSink,
        nx::agent::SendContact,
        &NAMESPACE_MAPI::CMAPIObject::ReadContacts,
        [](const std::string& id) { return "<id>" + id + "</id>"; },
        &NAMESPACE_MAPI::CMAPIObject::SetContactFolder,
        Fill,
        "SetContactFolder",
        "ReadContacts",
    };
    return nx::bench::RunReadBenchmarks(argc, argv, kContactsKind);
}
