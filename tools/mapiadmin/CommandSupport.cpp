#include "tools/mapiadmin/CommandSupport.h"

#include <cstdio>
#include <iostream>

#include "platform/system/Utf.h"
#include "tools/mapiadmin/JsonText.h"

namespace nx::mapiadmin {

std::string Quote(const std::string& s) {
    return "\"" + s + "\"";
}

std::string Utf8(const std::u16string& s) {
    return sys::Utf16ToUtf8(s);
}

std::string HrText(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    const char* t = Runtime::Get().ErrorText(hr);
    return (t ? std::string(t) + " " : std::string()) + "(" + code + ")";
}

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) ThrowHr(what, hr);
}

void Warn(const std::string& message) {
    std::cerr << "mapiadmin: warning: " << message << "\n";
}

void WriteJson(const ojson& doc, std::ostream& out) {
    out << DumpJsonText(doc);
}

std::string JsonName(const std::string& utf8) {
    return Utf16ToJson(sys::Utf8ToUtf16(utf8));
}

ojson StoreJson(const StoreInfo& st) {
    return {{"name", JsonName(st.name)},     {"entryId", st.entryIdHex}, {"default", st.isDefault},
            {"longTermIds", st.longTermIds}, {"format", st.format},      {"path", JsonName(st.path)}};
}

std::string EntryIdBytes(const SBinary& b) {
    return b.lpb && b.cb ? std::string(reinterpret_cast<const char*>(b.lpb), b.cb) : std::string();
}

LPENTRYID AsEntryId(const std::string& bytes) {
    // MAPI takes entry ids through non-const pointers it only reads.
    return reinterpret_cast<LPENTRYID>(const_cast<char*>(bytes.data()));
}

const BYTE* EntryIdData(const std::string& bytes) {
    return bytes.empty() ? nullptr : reinterpret_cast<const BYTE*>(bytes.data());
}

std::string EntryIdOf(const Runtime& rt, IMAPIProp* obj) {
    MapiBuffer<SPropValue> v(rt.mapi.MAPIFreeBuffer);
    Check(rt.mapi.HrGetOneProp(obj, PR_ENTRYID, v.put()), "cannot read the entry id");
    if (PROP_TYPE(v->ulPropTag) != PT_BINARY) throw CommandError(kExitFailure, "the object has no entry id");
    return EntryIdBytes(v->Value.bin);
}

}  // namespace nx::mapiadmin
