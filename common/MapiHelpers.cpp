#include "common/MapiHelpers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/TimeZone.h"
#include "platform/system/Ascii.h"
#include "platform/system/Utf.h"

namespace NAMESPACE_COMMON {
namespace {

constexpr ULONG kItemAccess = MAPI_MODIFY | MAPI_BEST_ACCESS;

}  // namespace

const SPropValue* FindProp(const SPropValue* values, ULONG count, ULONG propTag) {
    if (values == nullptr) return nullptr;
    for (ULONG i = 0; i < count; ++i)
        if (values[i].ulPropTag == propTag) return &values[i];
    return nullptr;
}

const SBinary* FindBinary(const SRow& row, ULONG propTag) {
    const SPropValue* v = FindProp(row, propTag);
    return v && PROP_TYPE(propTag) == PT_BINARY ? &v->Value.bin : nullptr;
}

std::string FindText(const SRow& row, ULONG propTag) {
    const SPropValue* v = FindProp(row, propTag);
    if (v == nullptr) return {};
    if (PROP_TYPE(propTag) == PT_UNICODE)
        return v->Value.lpszW ? nx::sys::Utf16ToUtf8(v->Value.lpszW) : std::string();
    if (PROP_TYPE(propTag) != PT_STRING8) return {};
    // 8-bit text is in the platform's code page, UTF-8 here; bytes that are not UTF-8 become
    // U+FFFD so a document built from it stays well-formed.
    return v->Value.lpszA ? nx::sys::Utf16ToUtf8(nx::sys::Utf8ToUtf16(v->Value.lpszA)) : std::string();
}

bool FindBool(const SRow& row, ULONG propTag) {
    const SPropValue* v = FindProp(row, propTag);
    return v != nullptr && PROP_TYPE(propTag) == PT_BOOLEAN && v->Value.b != 0;
}

ComPtr<IMAPIFolder> OpenInboxFolder(IMsgStore* store) {
    const MapiFunctions& fns = MapiTable();
    if (store == nullptr || fns.MAPIFreeBuffer == nullptr) return {};
    std::u16string messageClass = u"IPM.Note";
    ULONG cbInbox = 0;
    MapiBuffer<ENTRYID> inboxId(fns.MAPIFreeBuffer);
    const HRESULT hr =
        store->GetReceiveFolder(messageClass.data(), MAPI_UNICODE, &cbInbox, inboxId.put(), nullptr);
    if (FAILED(hr) || !inboxId || cbInbox == 0) return {};
    return OpenFolderEntry(store, cbInbox, reinterpret_cast<const BYTE*>(inboxId.get()));
}

namespace {

bool IsBinaryValue(const MapiBuffer<SPropValue>& value) {
    return value && PROP_TYPE(value->ulPropTag) == PT_BINARY && value->Value.bin.cb != 0 &&
           value->Value.bin.lpb != nullptr;
}

}  // namespace

ComPtr<IUnknown> OpenEntryById(IMsgStore* store, ULONG cbEntryId, const BYTE* entryId, ULONG* objType) {
    if (objType) *objType = 0;
    if (store == nullptr) return {};
    ULONG type = 0;
    ComPtr<IUnknown> object;
    const HRESULT hr = store->OpenEntry(cbEntryId, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId)),
                                        nullptr, MAPI_BEST_ACCESS, &type, object.put());
    if (FAILED(hr)) return {};  // the ComPtr releases whatever came back
    if (objType && object) *objType = type;
    return object;
}

ComPtr<IUnknown> OpenEntryInContainer(IMAPIContainer* container, ULONG cbEntryId, const BYTE* entryId,
                                      ULONG flags, ULONG* objType) {
    if (objType) *objType = 0;
    if (container == nullptr) return {};
    ULONG type = 0;
    ComPtr<IUnknown> object;
    const HRESULT hr =
        container->OpenEntry(cbEntryId, reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId)), nullptr,
                             flags, &type, object.put());
    if (FAILED(hr)) return {};
    if (objType && object) *objType = type;
    return object;
}

ComPtr<IMAPIFolder> OpenFolderEntry(IMsgStore* store, ULONG cbEntryId, const BYTE* entryId) {
    ComPtr<IMAPIFolder> folder;
    OpenEntryAs(store, cbEntryId, entryId, MAPI_BEST_ACCESS, folder);
    return folder;
}

MapiBuffer<SPropValue> GetOneProp(IMAPIProp* object, ULONG propTag) {
    const MapiFunctions& fns = MapiTable();
    MapiBuffer<SPropValue> value(fns.MAPIFreeBuffer);
    if (object == nullptr || fns.HrGetOneProp == nullptr || fns.MAPIFreeBuffer == nullptr) return value;
    const HRESULT hr = fns.HrGetOneProp(object, propTag, value.put());
    if (FAILED(hr)) value.reset();
    return value;
}

ComPtr<IMAPIFolder> OpenDefaultFolder(IMsgStore* store, ULONG propTag) {
    if (store == nullptr) return {};
    MapiBuffer<SPropValue> value(MapiTable().MAPIFreeBuffer);
    if (ComPtr<IMAPIFolder> inbox = OpenInboxFolder(store)) value = GetOneProp(inbox.get(), propTag);
    if (!value) {
        if (ComPtr<IMAPIFolder> root = OpenFolderEntry(store, 0, nullptr))
            value = GetOneProp(root.get(), propTag);
    }
    if (!IsBinaryValue(value)) return {};
    return OpenFolderEntry(store, value->Value.bin.cb, value->Value.bin.lpb);
}

ComPtr<IMAPIFolder> OpenParentFolder(IMAPIContainer* container, ULONG cbEntryId, const BYTE* entryId) {
    const MapiFunctions& fns = MapiTable();
    if (container == nullptr || entryId == nullptr || fns.MAPIFreeBuffer == nullptr) return {};
    ComPtr<IMAPIProp> props;
    if (FAILED(OpenEntryAs(container, cbEntryId, entryId, kItemAccess, props))) return {};
    SizedSPropTagArray<1> tags = {1, {PR_PARENT_ENTRYID}};
    ULONG count = 0;
    MapiBuffer<SPropValue> values(fns.MAPIFreeBuffer);
    const HRESULT hr = props->GetProps(tags.get(), MAPI_UNICODE, &count, values.put());
    if (FAILED(hr) || !values || count == 0) return {};
    if (PROP_TYPE(values->ulPropTag) == PT_ERROR || PROP_TYPE(values->ulPropTag) != PT_BINARY) return {};
    ComPtr<IMAPIFolder> parent;
    OpenEntryAs(container, values->Value.bin.cb, values->Value.bin.lpb, MAPI_BEST_ACCESS, parent);
    return parent;
}

ComPtr<IMAPIFolder> OpenParentFolderByHexId(IMAPIContainer* container, std::string_view hexId) {
    if (container == nullptr || hexId.empty()) return {};
    const std::vector<uint8_t> id = HexStringToBinary(hexId);
    if (id.empty()) return {};
    return OpenParentFolder(container, static_cast<ULONG>(id.size()), id.data());
}

ComPtr<IMessage> OpenMessageByHexId(IMAPIContainer* container, std::string_view hexId) {
    if (container == nullptr || hexId.empty()) return {};
    std::vector<uint8_t> id = HexStringToBinary(hexId);
    // A one-character text decodes to an empty id, which still goes to OpenEntry; a non-null
    // pointer keeps "empty id" apart from "no id".
    static const BYTE kNoBytes[1] = {0};
    const BYTE* bytes = id.empty() ? kNoBytes : id.data();
    ComPtr<IMessage> item;
    OpenEntryAs(container, static_cast<ULONG>(id.size()), bytes, kItemAccess, item);
    return item;
}

uint32_t GetFolderTypeCode(std::string_view containerClass) {
    static constexpr std::array<std::string_view, 6> kClasses = {
        "IPF.Note", "IPF.Appointment", "IPF.Contact", "IPF.Task", "IPF.Journal", "IPF.StickyNote"};
    for (uint32_t i = 0; i < kClasses.size(); ++i)
        if (containerClass == kClasses[i]) return i;
    return kFolderTypeOther;
}

std::string TrimBlanks(std::string_view text) {
    return std::string(nx::sys::TrimAscii(text, " \t\r\n\v\f"));
}

bool ExtractEventId(std::string_view text, std::string* out) {
    const std::string copy = TrimBlanks(text);
    const std::string_view view = copy;
    const bool wrapped = view.size() >= 9 && view.starts_with("<id>") && view.ends_with("</id>");
    if (out == nullptr) return true;
    out->clear();
    static constexpr std::string_view kStart = "<event>";
    static constexpr std::string_view kEnd = "</event>";
    const auto start = view.find(kStart);
    const auto end = view.find(kEnd);
    if (start == std::string_view::npos || end == std::string_view::npos) return true;
    const auto first = start + kStart.size();
    if (end <= first) return true;
    const std::string_view id = view.substr(first, end - first);
    std::string result = wrapped ? "<id>" + std::string(id) + "</id>" : std::string(id);
    if (nx::sys::Utf16Length(result) > kEventIdMaxUnits) return false;
    *out = std::move(result);
    return true;
}

std::vector<uint8_t> GetStreamBytes(IMAPIProp* object, ULONG tag) {
    std::vector<uint8_t> bytes;
    if (object == nullptr) return bytes;
    ComPtr<IStream> stream;
    if (FAILED(object->OpenProperty(tag, &IID_IStream, 0, 0, stream.put_unknown())) || !stream) return bytes;
    uint8_t chunk[1024];
    for (;;) {
        ULONG read = 0;
        if (FAILED(stream->Read(chunk, sizeof chunk, &read)) || read == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + std::min<ULONG>(read, sizeof chunk));
    }
    return bytes;
}

std::string GetStreamText(IMAPIProp* object, ULONG tag) {
    const std::vector<uint8_t> bytes = GetStreamBytes(object, tag);
    // UTF-16 units as the store keeps them; an odd last byte is no character.
    std::u16string text(bytes.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * 2);
    std::string utf8 = nx::sys::Utf16ToUtf8(text);
    if (utf8 == "\r\n" || utf8 == "\n") utf8.clear();
    return utf8;
}

// ---------------------------------------------------------------------------------------------
// Item writes

void SetOneProp(IMAPIProp* object, const SPropValue& value) {
    if (object == nullptr) return;
    SPropValue copy = value;
    object->SetProps(1, &copy, nullptr);
}

void DeleteOneProp(IMAPIProp* object, ULONG tag) {
    if (object == nullptr) return;
    SizedSPropTagArray<1> tags = {1, {tag}};
    object->DeleteProps(tags.get(), nullptr);
}

void SetTextOrDelete(IMAPIProp* object, ULONG tag, std::string_view text) {
    if (text.empty()) {
        DeleteOneProp(object, tag);
        return;
    }
    std::u16string wide = nx::sys::Utf8ToUtf16(text);
    SPropValue value{};
    value.ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(tag));
    value.Value.lpszW = wide.data();
    SetOneProp(object, value);
}

void SetLocalTimeOrDelete(IMAPIProp* object, ULONG tag, const CDateTime& local, const TimeZoneSource& zone) {
    SYSTEMTIME utc{};
    FILETIME ft{};
    // LocalToUtc leaves `utc` untouched when it cannot convert; the zeroed fields then fail the
    // file-time conversion and the property is removed rather than set to a made-up time.
    const bool zero = local.IsValid() && local.GetValue() == 0.0;
    if (!zero) LocalToUtc(local, utc, zone);
    if (zero || !SystemTimeToFileTime(utc, ft)) {
        DeleteOneProp(object, tag);
        return;
    }
    SPropValue value{};
    value.ulPropTag = PROP_TAG(PT_SYSTIME, PROP_ID(tag));
    value.Value.ft = ft;
    SetOneProp(object, value);
}

namespace {

ULONG ResolveName(IMAPIProp* object, MAPINAMEID& name, ULONG type) {
    const MapiFunctions& fns = MapiTable();
    if (object == nullptr || fns.MAPIFreeBuffer == nullptr) return 0;
    LPMAPINAMEID names[] = {&name};
    MapiBuffer<SPropTagArray> ids(fns.MAPIFreeBuffer);
    if (object->GetIDsFromNames(1, names, MAPI_CREATE, ids.put()) != S_OK || !ids || ids->cValues != 1)
        return 0;
    const ULONG id = ids->aulPropTag[0];
    if (PROP_TYPE(id) == PT_ERROR || PROP_ID(id) == 0) return 0;
    return PROP_TAG(type, PROP_ID(id));
}

}  // namespace

ULONG GetNamedPropTag(IMAPIProp* object, const GUID& propertySet, LONG lid, ULONG type) {
    MAPINAMEID name{};
    name.lpguid = const_cast<LPGUID>(&propertySet);
    name.ulKind = MNID_ID;
    name.Kind.lID = lid;
    return ResolveName(object, name, type);
}

ULONG GetNamedPropTag(IMAPIProp* object, const GUID& propertySet, const char16_t* text, ULONG type) {
    if (text == nullptr) return 0;
    std::u16string copy(text);
    MAPINAMEID name{};
    name.lpguid = const_cast<LPGUID>(&propertySet);
    name.ulKind = MNID_STRING;
    name.Kind.lpwstrName = copy.data();
    return ResolveName(object, name, type);
}

}  // namespace NAMESPACE_COMMON
