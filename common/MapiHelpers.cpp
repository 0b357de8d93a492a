#include "common/MapiHelpers.h"

#include <algorithm>
#include <array>
#include <cassert>
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

HRESULT OpenPropertyStream(IMAPIProp* object, ULONG tag, ULONG flags, ComPtr<IStream>& out) {
    out = nullptr;
    if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
    const HRESULT hr = object->OpenProperty(tag, &MapiIid<IStream>::value, 0, flags, out.put_unknown());
    if (FAILED(hr)) {
        out = nullptr;  // release whatever came back with a failure
        return hr;
    }
    return out ? hr : MAPI_E_NOT_FOUND;
}

template <class Bytes>
HRESULT ReadWholeStream(ISequentialStream* stream, Bytes& out) {
    if (stream == nullptr) return MAPI_E_INVALID_PARAMETER;
    for (;;) {
        // Read straight into the end of `out`, then keep only what the stream gave.
        const std::size_t before = out.size();
        out.resize(before + kStreamReadBytes);
        ULONG read = 0;
        const HRESULT hr = stream->Read(out.data() + before, kStreamReadBytes, &read);
        out.resize(before + (FAILED(hr) ? 0 : std::min(read, kStreamReadBytes)));
        if (FAILED(hr)) return hr;
        if (read == 0) return S_OK;
    }
}
template HRESULT ReadWholeStream(ISequentialStream*, std::string&);
template HRESULT ReadWholeStream(ISequentialStream*, std::vector<uint8_t>&);

template <class Bytes>
HRESULT ReadPropertyStream(IMAPIProp* object, ULONG tag, Bytes& out) {
    ComPtr<IStream> stream;
    const HRESULT hr = OpenPropertyStream(object, tag, 0, stream);
    return FAILED(hr) ? hr : ReadWholeStream(stream.get(), out);
}
template HRESULT ReadPropertyStream(IMAPIProp*, ULONG, std::string&);
template HRESULT ReadPropertyStream(IMAPIProp*, ULONG, std::vector<uint8_t>&);

HRESULT WriteWholeStream(ISequentialStream* stream, std::string_view bytes, ULONG& written) {
    written = 0;
    if (stream == nullptr) return MAPI_E_INVALID_PARAMETER;
    while (written < bytes.size()) {
        const auto block =
            static_cast<ULONG>(std::min<std::size_t>(bytes.size() - written, kStreamWriteBytes));
        ULONG took = 0;
        const HRESULT hr = stream->Write(bytes.data() + written, block, &took);
        if (FAILED(hr)) return hr;
        // A stream that takes nothing would never let the loop end; one that claims more than it
        // was given is taken at the block.
        if (took == 0) return STG_E_MEDIUMFULL;
        written += std::min(took, block);
    }
    return S_OK;
}

std::vector<uint8_t> GetStreamBytes(IMAPIProp* object, ULONG tag) {
    std::vector<uint8_t> bytes;
    ReadPropertyStream(object, tag, bytes);  // what came before a failed read is kept
    return bytes;
}

bool IsOutOfLine(const SPropValue& value) {
    return PROP_TYPE(value.ulPropTag) == PT_ERROR && value.Value.err == MAPI_E_NOT_ENOUGH_MEMORY;
}

CWholeValues::CWholeValues(IMAPIProp* object, const SPropTagArray* columns, const SPropValue* values,
                           ULONG count)
    : m_values(values), m_count(count) {
    if (object == nullptr || columns == nullptr || values == nullptr || columns->cValues != count) return;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG tag = columns->aulPropTag[i];
        const ULONG type = PROP_TYPE(tag);
        if (!IsOutOfLine(values[i]) || (type != PT_UNICODE && type != PT_STRING8 && type != PT_BINARY))
            continue;
        std::string bytes;
        if (FAILED(ReadPropertyStream(object, tag, bytes))) continue;
        if (m_copy.empty()) m_copy.assign(values, values + count);
        SPropValue& v = m_copy[i];
        v.ulPropTag = tag;
        // The answer's memory is MAPI's; a value read whole lives here, as long as this object.
        if (type == PT_UNICODE) {
            // UTF-16 units as the store keeps them; an odd last byte is no character.
            std::u16string& text = m_texts.emplace_back(bytes.size() / 2, u'\0');
            if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * 2);
            v.Value.lpszW = text.data();
        } else {
            const std::string& kept = m_bytes.emplace_back(std::move(bytes));
            if (type == PT_BINARY) {
                v.Value.bin.cb = static_cast<ULONG>(kept.size());
                v.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(kept.data()));
            } else {
                v.Value.lpszA = const_cast<char*>(kept.c_str());
            }
        }
    }
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

void CPropEdits::Forget(ULONG tag) {
    const unsigned low = PROP_ID(tag) & 0xFF;
    uint64_t& word = m_edited[low / 64];
    const uint64_t bit = uint64_t{1} << (low % 64);
    // Every edit comes through here first, so an id whose bit is clear has none yet.
    const bool maybeEdited = (word & bit) != 0;
    word |= bit;
    if (!maybeEdited) return;
    const auto sameId = [id = PROP_ID(tag)](ULONG other) { return PROP_ID(other) == id; };
    std::erase_if(m_sets, [&](const SPropValue& v) { return sameId(v.ulPropTag); });
    std::erase_if(m_deletes, sameId);
}

void CPropEdits::Set(const SPropValue& value) {
    Forget(value.ulPropTag);
    SPropValue copy = value;
    switch (PROP_TYPE(value.ulPropTag)) {
        case PT_UNICODE:
            copy.Value.lpszW = m_texts.emplace_back(value.Value.lpszW ? value.Value.lpszW : u"").data();
            break;
        case PT_MV_UNICODE: {
            std::vector<LPWSTR>& list = m_textLists.emplace_back();
            for (ULONG i = 0; i < value.Value.MVszW.cValues; ++i)
                list.push_back(m_texts.emplace_back(value.Value.MVszW.lppszW[i]).data());
            copy.Value.MVszW.lppszW = list.data();
            break;
        }
        case PT_BINARY: {
            const auto* bytes = reinterpret_cast<const char*>(value.Value.bin.lpb);
            std::string& kept = m_bytes.emplace_back(bytes ? bytes : "", bytes ? value.Value.bin.cb : 0);
            copy.Value.bin.lpb = reinterpret_cast<LPBYTE>(kept.data());
            break;
        }
        default:
            // Scalars only: a value of another type that points somewhere is not kept alive here.
            assert(PROP_TYPE(value.ulPropTag) != PT_STRING8 && !(PROP_TYPE(value.ulPropTag) & MV_FLAG));
            break;
    }
    m_sets.push_back(copy);
}

void CPropEdits::Delete(ULONG tag) {
    Forget(tag);
    m_deletes.push_back(tag);
}

void CPropEdits::SetText(ULONG tag, std::string_view text) {
    if (text.empty()) return Delete(tag);
    Forget(tag);
    SPropValue value{};
    value.ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(tag));
    value.Value.lpszW = m_texts.emplace_back(nx::sys::Utf8ToUtf16(text)).data();
    m_sets.push_back(value);
}

void CPropEdits::SetLocalTime(ULONG tag, const CDateTime& local, const TimeZoneSource& zone) {
    SYSTEMTIME utc{};
    FILETIME ft{};
    // LocalToUtc leaves `utc` untouched when it cannot convert; the zeroed fields then fail the
    // file-time conversion and the property is removed rather than set to a made-up time.
    const bool zero = local.IsValid() && local.GetValue() == 0.0;
    if (!zero) LocalToUtc(local, utc, zone);
    if (zero || !SystemTimeToFileTime(utc, ft)) return Delete(tag);
    SPropValue value{};
    value.ulPropTag = PROP_TAG(PT_SYSTIME, PROP_ID(tag));
    value.Value.ft = ft;
    Set(value);
}

void CPropEdits::Apply(IMAPIProp* object) {
    if (object != nullptr && !m_deletes.empty()) {
        std::vector<ULONG> tags(1 + m_deletes.size());
        tags[0] = static_cast<ULONG>(m_deletes.size());
        std::copy(m_deletes.begin(), m_deletes.end(), tags.begin() + 1);
        object->DeleteProps(reinterpret_cast<LPSPropTagArray>(tags.data()), nullptr);
    }
    if (object != nullptr && !m_sets.empty())
        object->SetProps(static_cast<ULONG>(m_sets.size()), m_sets.data(), nullptr);
    *this = CPropEdits{};
}

void SetTextOrDelete(IMAPIProp* object, ULONG tag, std::string_view text) {
    CPropEdits edits;
    edits.SetText(tag, text);
    edits.Apply(object);
}

void SetLocalTimeOrDelete(IMAPIProp* object, ULONG tag, const CDateTime& local, const TimeZoneSource& zone) {
    CPropEdits edits;
    edits.SetLocalTime(tag, local, zone);
    edits.Apply(object);
}

HRESULT ResolveNamedProps(IMAPIProp* object, std::span<const NamedProperty> names, ULONG unresolved,
                          std::vector<ULONG>& tags) {
    tags.assign(names.size(), unresolved);
    const MapiFunctions& fns = MapiTable();
    if (object == nullptr || names.empty()) return MAPI_E_INVALID_PARAMETER;
    if (fns.MAPIFreeBuffer == nullptr) return MAPI_E_CALL_FAILED;
    std::vector<MAPINAMEID> ids(names.size());
    std::vector<LPMAPINAMEID> pointers(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        // MAPI's name structure is not const; GetIDsFromNames only reads it.
        ids[i].lpguid = const_cast<LPGUID>(names[i].set);
        if (names[i].string != nullptr) {
            ids[i].ulKind = MNID_STRING;
            ids[i].Kind.lpwstrName = const_cast<LPWSTR>(names[i].string);
        } else {
            ids[i].ulKind = MNID_ID;
            ids[i].Kind.lID = names[i].lid;
        }
        pointers[i] = &ids[i];
    }
    MapiBuffer<SPropTagArray> answer(fns.MAPIFreeBuffer);
    const HRESULT hr =
        object->GetIDsFromNames(static_cast<ULONG>(names.size()), pointers.data(), MAPI_CREATE, answer.put());
    if (FAILED(hr) || !answer || answer->cValues != names.size()) return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const ULONG id = answer->aulPropTag[i];
        // A name that failed comes back as PT_ERROR (and the call as a warning).
        if (PROP_TYPE(id) == PT_ERROR || PROP_ID(id) == 0) continue;
        tags[i] = PROP_TAG(names[i].type, PROP_ID(id));
    }
    return hr;
}

ULONG GetNamedPropTag(IMAPIProp* object, const NamedProperty& name) {
    std::vector<ULONG> tags;
    return ResolveNamedProps(object, std::span(&name, 1), 0, tags) == S_OK ? tags[0] : 0;
}

ULONG GetNamedPropTag(IMAPIProp* object, const GUID& propertySet, LONG lid, ULONG type) {
    return GetNamedPropTag(object, NamedProperty{"", &propertySet, lid, nullptr, type});
}

ULONG GetNamedPropTag(IMAPIProp* object, const GUID& propertySet, const char16_t* text, ULONG type) {
    if (text == nullptr) return 0;
    return GetNamedPropTag(object, NamedProperty{"", &propertySet, 0, text, type});
}

}  // namespace NAMESPACE_COMMON
