#include "calendar/TimeZoneStruct.h"

#include "calendar/ByteCursor.h"

using NAMESPACE_COMMON::tagNxTimeZone;

namespace NAMESPACE_MAPI {

namespace {

void PutSystemTime(ByteWriter& w, const SYSTEMTIME& st) {
    for (WORD field :
         {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds})
        w.Put16(field);
}

void ReadSystemTime(ByteReader& r, SYSTEMTIME& st) {
    for (WORD* field : {&st.wYear, &st.wMonth, &st.wDayOfWeek, &st.wDay, &st.wHour, &st.wMinute, &st.wSecond,
                        &st.wMilliseconds})
        r.Read(*field);
}

}  // namespace

int SerializeTimeZoneStruct(const tagNxTimeZone& zone, std::vector<uint8_t>* out) {
    if (!AssignZeroed(out, kTimeZoneStructSize)) return 0;
    ByteWriter w(out->data(), out->size());
    w.Put32(static_cast<uint32_t>(zone.Bias));
    w.Put32(static_cast<uint32_t>(zone.StandardBias));
    w.Put32(static_cast<uint32_t>(zone.DaylightBias));
    w.Put16(zone.StandardDate.wYear);
    PutSystemTime(w, zone.StandardDate);
    w.Put16(zone.DaylightDate.wYear);
    PutSystemTime(w, zone.DaylightDate);
    return 1;
}

tagNxTimeZone ParseTimeZoneStruct(const uint8_t* bytes, std::size_t size) {
    tagNxTimeZone zone;
    ByteReader r(bytes, size);
    r.Read(zone.Bias);
    r.Read(zone.StandardBias);
    r.Read(zone.DaylightBias);
    WORD year = 0;  // the separate year only repeats the date's own
    r.Read(year);
    ReadSystemTime(r, zone.StandardDate);
    r.Read(year);
    ReadSystemTime(r, zone.DaylightDate);
    return zone;
}

}  // namespace NAMESPACE_MAPI
