// Entry ids of this runtime (all little-endian):
//
//   object (folder or message), 30 bytes:
//     abFlags[4]     0 0 0 0 (abFlags[0] = MAPI_SHORTTERM in the short-term form)
//     store UID[16]  the store's provider UID (random, made when the store was created)
//     type u16       0x0001 folder, 0x0007 message
//     key u64        the object's key in its store: assigned once, never reused
//
//   message store, 38 bytes:
//     abFlags[4]     0 0 0 0
//     provider[16]   kStoreProviderUid, the same for every store of this runtime
//     type u16       0x0003 store
//     store UID[16]
//
// An id of any other length, with unknown flag bits, or with another type is malformed
// (MAPI_E_INVALID_ENTRYID); a well-formed id of another store, or of an object that no longer
// exists, is not found (MAPI_E_NOT_FOUND).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/mapi/Mapi.h"

namespace nx::mapi32 {

using Uid = std::array<std::uint8_t, 16>;

inline constexpr Uid kStoreProviderUid = {0x4E, 0x58, 0x4D, 0x53, 0x54, 0x4F, 0x52, 0x45,
                                          0x9B, 0x2D, 0x41, 0x7C, 0xA3, 0x5E, 0x11, 0x64};
inline constexpr std::uint16_t kEidFolder = 0x0001;
inline constexpr std::uint16_t kEidStore = 0x0003;
inline constexpr std::uint16_t kEidMessage = 0x0007;
inline constexpr std::size_t kObjectEntryIdSize = 30;
inline constexpr std::size_t kStoreEntryIdSize = 38;

struct ObjectEntryId {
    Uid store{};
    std::uint16_t type = 0;
    std::int64_t key = 0;
    bool shortTerm = false;
};

std::string MakeObjectEntryId(const Uid& store, std::uint16_t type, std::int64_t key, bool shortTerm = false);
// The same into `id`, whose room is reused (a table makes one per row).
void MakeObjectEntryId(std::string& id, const Uid& store, std::uint16_t type, std::int64_t key,
                       bool shortTerm);
std::string MakeStoreEntryId(const Uid& store);
// S_OK or MAPI_E_INVALID_ENTRYID.
HRESULT ParseObjectEntryId(const void* data, std::size_t size, ObjectEntryId& out) noexcept;
HRESULT ParseStoreEntryId(const void* data, std::size_t size, Uid& out) noexcept;

std::string ToHex(std::string_view bytes);

}  // namespace nx::mapi32
