#include "calendar/TimeZoneStruct.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <span>

#include "platform/system/ByteCursor.h"

using NAMESPACE_COMMON::tagNxTimeZone;
using nx::sys::kTziDateSize;
using nx::sys::kTziDaylightDateAt;
using nx::sys::kTziStandardDateAt;

namespace NAMESPACE_MAPI {

int SerializeTimeZoneStruct(const tagNxTimeZone& zone, std::vector<uint8_t>* out) {
    if (!nx::sys::StartOutput(out, kTimeZoneStructSize)) return 0;
    const auto tzi = NAMESPACE_COMMON::GetTziBytes(zone);
    nx::sys::ByteWriter w(*out);
    w.Bytes(tzi.data(), kTziStandardDateAt);  // the three biases
    w.Put16(zone.StandardDate.wYear);
    w.Bytes(tzi.data() + kTziStandardDateAt, kTziDateSize);
    w.Put16(zone.DaylightDate.wYear);
    w.Bytes(tzi.data() + kTziDaylightDateAt, kTziDateSize);
    assert(out->size() == kTimeZoneStructSize);
    return 1;
}

bool ParseTimeZoneStruct(const uint8_t* bytes, std::size_t size, tagNxTimeZone& zone) {
    // Half a rule would move every time the host shows; a cut value is not read at all.
    if (bytes == nullptr || size < kTimeZoneStructSize) return false;
    nx::sys::ByteReader r(std::span(bytes, kTimeZoneStructSize));
    std::span<const uint8_t> biases, standardDate, daylightDate;
    constexpr std::size_t kYear = 2;  // each date's separate year only repeats the date's own wYear
    [[maybe_unused]] const bool whole = r.Bytes(kTziStandardDateAt, biases) && r.Skip(kYear) &&
                                        r.Bytes(kTziDateSize, standardDate) && r.Skip(kYear) &&
                                        r.Bytes(kTziDateSize, daylightDate);
    assert(whole && r.Remaining() == 0);  // the size was checked above
    std::array<uint8_t, nx::sys::kTziSize> tzi{};
    auto next = std::copy(biases.begin(), biases.end(), tzi.begin());
    next = std::copy(standardDate.begin(), standardDate.end(), next);
    std::copy(daylightDate.begin(), daylightDate.end(), next);
    tagNxTimeZone read;
    NAMESPACE_COMMON::SetTziBytes(read, tzi.data(), tzi.size());
    zone = std::move(read);
    return true;
}

}  // namespace NAMESPACE_MAPI
