// Arbitrary property values through the contact document builders: a row of values of the
// contact columns (and stray tags) through AppendContactRowXml, and a message whose named values,
// body and flags are arbitrary through AppendContactMessageXml. Every document must be
// well-formed XML 1.0 in valid UTF-8 and load back with its root.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/MapiFunctions.h"
#include "common/XMLParser.h"
#include "contacts/ContactXml.h"
#include "tests/support/StrictXml.h"

namespace {

using namespace NAMESPACE_MAPI;

// Reads the fuzzer's bytes front to back; zeros once they run out.
struct Input {
    const uint8_t* p;
    std::size_t n;
    uint8_t Byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    uint32_t U32() { return Byte() | (Byte() << 8) | (Byte() << 16) | (static_cast<uint32_t>(Byte()) << 24); }
    std::u16string Text() {
        std::u16string s(Byte() % 40, u'a');
        for (char16_t& c : s) {
            c = static_cast<char16_t>(Byte() | (Byte() << 8));
            if (c == 0) c = 0xD800;  // MAPI text ends at its first NUL: use the space for an odd unit
        }
        return s;
    }
};

// Owns everything a row's values point at.
struct Values {
    std::vector<std::u16string> texts;
    std::vector<std::string> blobs;
    std::vector<std::vector<LPWSTR>> lists;
    std::vector<SPropValue> values;
    Values() {
        texts.reserve(512);
        blobs.reserve(512);
        lists.reserve(512);
    }
    void Fill(SPropValue& v, Input& in) {
        switch (PROP_TYPE(v.ulPropTag)) {
            case PT_UNICODE:
                texts.push_back(in.Text());
                v.Value.lpszW = texts.back().data();
                break;
            case PT_MV_UNICODE: {
                lists.emplace_back();
                for (int k = in.Byte() % 4; k > 0; --k) {
                    texts.push_back(in.Text());
                    lists.back().push_back(texts.back().data());
                }
                v.Value.MVszW = {static_cast<ULONG>(lists.back().size()), lists.back().data()};
                break;
            }
            case PT_SYSTIME:
                v.Value.ft.dwLowDateTime = in.U32();
                v.Value.ft.dwHighDateTime = in.U32();
                break;
            case PT_BINARY:
                blobs.emplace_back(in.Byte() % 32, '\x5A');
                v.Value.bin = {static_cast<ULONG>(blobs.back().size()),
                               reinterpret_cast<LPBYTE>(blobs.back().data())};
                break;
            case PT_BOOLEAN:
                v.Value.b = in.Byte() & 1;
                break;
            case PT_ERROR:
                v.Value.err = (in.Byte() & 1) ? MAPI_E_NOT_FOUND : MAPI_E_NOT_ENOUGH_MEMORY;
                break;
            default:
                v.Value.l = static_cast<LONG>(in.U32());
                break;
        }
    }
};

// A message whose GetIDsFromNames and GetProps answer from the fuzzer's bytes; everything else
// is not supported (so no picture and no body stream).
class FuzzMessage final : public IMessage {
public:
    explicit FuzzMessage(Input& in) : m_in(in) {}
    HRESULT QueryInterface(REFIID, void**) override { return MAPI_E_INTERFACE_NOT_SUPPORTED; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetIDsFromNames(ULONG count, LPMAPINAMEID*, ULONG, LPSPropTagArray* out) override {
        LPSPropTagArray tags = nullptr;
        if (MapiTable().MAPIAllocateBuffer(CbNewSPropTagArray(count), reinterpret_cast<void**>(&tags)) !=
            S_OK)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        tags->cValues = count;
        for (ULONG i = 0; i < count; ++i)
            tags->aulPropTag[i] =
                (m_in.Byte() % 8 == 0) ? PROP_TAG(PT_ERROR, 0) : PROP_TAG(PT_UNSPECIFIED, 0x8000 + i);
        *out = tags;
        return S_OK;
    }
    HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* out) override {
        if (m_in.Byte() % 16 == 0) return MAPI_E_CALL_FAILED;
        m_values.values.assign(tags->cValues, SPropValue{});
        for (ULONG i = 0; i < tags->cValues; ++i) {
            SPropValue& v = m_values.values[i];
            v.ulPropTag = (m_in.Byte() % 4 == 0) ? PROP_TAG(PT_ERROR, PROP_ID(tags->aulPropTag[i]))
                                                 : tags->aulPropTag[i];
            m_values.Fill(v, m_in);
        }
        // The caller frees the array with MAPIFreeBuffer: a copy in MAPI memory (the texts stay ours).
        LPSPropValue copy = nullptr;
        if (MapiTable().MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * tags->cValues),
                                           reinterpret_cast<void**>(&copy)) != S_OK)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        std::memcpy(copy, m_values.values.data(), sizeof(SPropValue) * tags->cValues);
        *count = tags->cValues;
        *out = copy;
        return MAPI_W_ERRORS_RETURNED;
    }
    HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT GetAttachmentTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT OpenAttach(ULONG, LPCIID, ULONG, LPATTACH*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT DeleteAttach(ULONG, ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetRecipientTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SubmitMessage(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT SetReadFlag(ULONG) override { return MAPI_E_NO_SUPPORT; }

private:
    Input& m_in;
    Values m_values;
};

// A strict XML 1.0 reader takes the document, and the agent's own reader finds its root.
void CheckWellFormed(const std::string& xml) {
    const std::string error = nx::test::StrictXmlError(xml);
    if (!error.empty()) {
        std::fprintf(stderr, "not well-formed: %s\n%s\n", error.c_str(), xml.c_str());
        std::abort();
    }
    NAMESPACE_COMMON::CXMLParser back;
    back.Init();
    back.LoadXML(xml);
    if (back.GetRoot().GetName() != "Contact") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool runtime = LoadMapiLibrary(NX_BIN_DIR) && LoadMapiFunctions();
    Input in{data, size};
    Values row;
    const auto columns = ContactColumns();
    for (int k = in.Byte() % 64; k > 0 && in.n > 0; --k) {
        SPropValue v{};
        const uint8_t pick = in.Byte();
        v.ulPropTag = pick < 2 * columns.size() ? columns[pick % columns.size()] : in.U32();
        if (pick & 1 && pick < 2 * columns.size()) v.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(v.ulPropTag));
        row.Fill(v, in);
        row.values.push_back(v);
    }
    NAMESPACE_COMMON::CXMLParser parser;
    parser.Init();
    parser.CreateHeader();
    parser.CreateRoot("Contact");
    std::string pimid;
    static const auto zone = LocalZone();
    AppendContactRowXml(parser, pimid, row.values.data(), static_cast<ULONG>(row.values.size()), zone);
    parser.CreateChildNode("PIMID", pimid.c_str(), NAMESPACE_COMMON::CXMLNode(), 1, 1);
    if (runtime) {
        FuzzMessage message(in);
        CContactReadState state{std::string(), zone, {}, {}};
        AppendContactMessageXml(parser, &message, state);
    }
    CheckWellFormed(parser.GetXML());
    return 0;
}
