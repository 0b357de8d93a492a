// The zone table and the machine's zone from the Windows registry and kernel (the Linux build
// builds both from ICU; tests/common covers that source).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "common/TimeZone.h"
#include "platform/system/ZoneData.h"

using namespace NAMESPACE_COMMON;

namespace {

TEST(WinZones, TheTableIsTheRegistryKey) {
    const std::vector<nx::sys::ZoneRecord>& records = nx::sys::RegistryZones();
    ASSERT_GT(records.size(), 50u);
    std::vector<tagNxTimeZone> table;
    ASSERT_TRUE(LoadTimeZones(table));
    ASSERT_EQ(table.size(), records.size());
    const std::vector<std::string> keys = EnumTimeZoneKeys();
    ASSERT_EQ(keys.size(), records.size());
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size()) << "one record per key";

    // Zones whose rule every Windows release has kept the same.
    const struct {
        const char* key;
        int32_t bias;
        const char* shortText;
    } known[] = {
        {"Eastern Standard Time", 300, "GMT:+300;DST:60"},
        {"India Standard Time", -330, "GMT:-330;DST:0"},
        {"AUS Eastern Standard Time", -600, "GMT:-600;DST:60"},
    };
    for (const auto& k : known) {
        tagNxTimeZone zone;
        ASSERT_TRUE(ReadTimeZone(k.key, zone)) << k.key;
        EXPECT_EQ(zone.Bias, k.bias) << k.key;
        EXPECT_EQ(FormatTimeZoneKey(zone), k.shortText) << k.key;
        EXPECT_FALSE(zone.StandardName.empty()) << k.key;
        EXPECT_FALSE(zone.DisplayName.empty()) << k.key;
        // The record found by the kernel's fields is the same zone.
        tagNxTimeZone found;
        ASSERT_TRUE(FindRegistryTimeZone(ToTimeZoneInformation(zone), found)) << k.key;
        EXPECT_EQ(found.StandardName, zone.StandardName);
    }
    tagNxTimeZone none;
    EXPECT_FALSE(ReadTimeZone("No Such Standard Time", none));
}

TEST(WinZones, TheMachineZoneIsOneOfTheTable) {
    const std::string id = nx::sys::SystemZoneId();
    const std::vector<std::string> keys = EnumTimeZoneKeys();
    ASSERT_NE(std::find(keys.begin(), keys.end(), id), keys.end()) << id;

    TIME_ZONE_INFORMATION tzi{};
    const uint32_t period = GetTimeZoneInformation(tzi);
    ASSERT_NE(period, TIME_ZONE_ID_INVALID);
    tagNxTimeZone zone;
    ASSERT_TRUE(ReadTimeZone(id, zone));
    EXPECT_EQ(tzi.Bias, zone.Bias);
    EXPECT_EQ(FromTimeZoneInformation(tzi).StandardName, zone.StandardName.substr(0, 31));
    std::string display;
    EXPECT_TRUE(GetTimeZoneDisplayName(tzi, display));

    // A zone is also named by its key, and a POSIX rule text still reads as one.
    TIME_ZONE_INFORMATION named{};
    EXPECT_NE(GetTimeZoneInformationForZone("india standard time", 1246406400, named), TIME_ZONE_ID_INVALID);
    EXPECT_EQ(named.Bias, -330);
    EXPECT_EQ(GetTimeZoneInformationForZone("JST-9", 1246406400, named), TIME_ZONE_ID_UNKNOWN);
    EXPECT_EQ(named.Bias, -540);
    EXPECT_EQ(GetTimeZoneInformationForZone("Not/AZone", 1246406400, named), TIME_ZONE_ID_INVALID);
}

}  // namespace
