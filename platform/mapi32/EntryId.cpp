#include "platform/mapi32/EntryId.h"

#include <cstring>

namespace nx::mapi32 {

void MakeObjectEntryId(std::string& id, const Uid& store, std::uint16_t type, std::int64_t key,
                       bool shortTerm) {
    id.assign(kObjectEntryIdSize, '\0');
    id[0] = shortTerm ? static_cast<char>(MAPI_SHORTTERM) : 0;
    std::memcpy(id.data() + 4, store.data(), 16);
    std::memcpy(id.data() + 20, &type, 2);
    std::memcpy(id.data() + 22, &key, 8);
}

std::string MakeObjectEntryId(const Uid& store, std::uint16_t type, std::int64_t key, bool shortTerm) {
    std::string id;
    MakeObjectEntryId(id, store, type, key, shortTerm);
    return id;
}

std::string MakeStoreEntryId(const Uid& store) {
    std::string id(kStoreEntryIdSize, '\0');
    std::memcpy(id.data() + 4, kStoreProviderUid.data(), 16);
    std::uint16_t type = kEidStore;
    std::memcpy(id.data() + 20, &type, 2);
    std::memcpy(id.data() + 22, store.data(), 16);
    return id;
}

HRESULT ParseObjectEntryId(const void* data, std::size_t size, ObjectEntryId& out) noexcept {
    if (!data || size != kObjectEntryIdSize) return MAPI_E_INVALID_ENTRYID;
    const auto* b = static_cast<const std::uint8_t*>(data);
    if ((b[0] & ~MAPI_SHORTTERM) != 0 || b[1] || b[2] || b[3]) return MAPI_E_INVALID_ENTRYID;
    std::memcpy(out.store.data(), b + 4, 16);
    std::memcpy(&out.type, b + 20, 2);
    std::memcpy(&out.key, b + 22, 8);
    out.shortTerm = (b[0] & MAPI_SHORTTERM) != 0;
    if ((out.type != kEidFolder && out.type != kEidMessage) || out.key <= 0) return MAPI_E_INVALID_ENTRYID;
    return S_OK;
}

HRESULT ParseStoreEntryId(const void* data, std::size_t size, Uid& out) noexcept {
    if (!data || size != kStoreEntryIdSize) return MAPI_E_INVALID_ENTRYID;
    const auto* b = static_cast<const std::uint8_t*>(data);
    if (b[0] || b[1] || b[2] || b[3]) return MAPI_E_INVALID_ENTRYID;
    if (std::memcmp(b + 4, kStoreProviderUid.data(), 16) != 0) return MAPI_E_INVALID_ENTRYID;
    std::uint16_t type;
    std::memcpy(&type, b + 20, 2);
    if (type != kEidStore) return MAPI_E_INVALID_ENTRYID;
    std::memcpy(out.data(), b + 22, 16);
    return S_OK;
}

std::string ToHex(std::string_view bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

}  // namespace nx::mapi32
