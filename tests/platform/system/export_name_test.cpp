// Which symbol names are export ordinals: the loader's lookup on Windows goes by this reading.
#include <gtest/gtest.h>

#include <string>

#include "platform/system/ExportName.h"

namespace {

using nx::sys::ExportName;

TEST(ExportName, OrdinalsAreCanonicalDecimalsInSixteenBits) {
    const struct {
        std::string name;
        ExportName::Kind kind;
        uint16_t ordinal;
    } cases[] = {
        {"HrGetOneProp", ExportName::kName, 0},
        {"Hr#1", ExportName::kName, 0},  // only a leading '#' makes an ordinal
        {"#1", ExportName::kOrdinal, 1},
        {"#75", ExportName::kOrdinal, 75},
        {"#65535", ExportName::kOrdinal, 65535},
        {"", ExportName::kInvalid, 0},
        {"#", ExportName::kInvalid, 0},
        {"#0", ExportName::kInvalid, 0},  // ordinals start at 1
        {"#65536", ExportName::kInvalid, 0},
        {"#4294967371", ExportName::kInvalid, 0},  // 2^32 + 75 must not wrap to 75
        {"#000075", ExportName::kInvalid, 0},
        {"#075", ExportName::kInvalid, 0},
        {"#+75", ExportName::kInvalid, 0},
        {"#-75", ExportName::kInvalid, 0},
        {"# 75", ExportName::kInvalid, 0},
        {"#75 ", ExportName::kInvalid, 0},
        {"#12a", ExportName::kInvalid, 0},
        {"#0x4B", ExportName::kInvalid, 0},
        {std::string("#7\0"
                     "5",
                     4),
         ExportName::kInvalid, 0},
        {"##75", ExportName::kInvalid, 0},
    };
    for (const auto& c : cases) {
        const ExportName parsed = nx::sys::ParseExportName(c.name);
        EXPECT_EQ(parsed.kind, c.kind) << c.name;
        if (c.kind == ExportName::kOrdinal) {
            EXPECT_EQ(parsed.ordinal, c.ordinal) << c.name;
        }
    }
}

}  // namespace
