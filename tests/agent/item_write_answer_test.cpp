// The answer of the item writes: identifier and time texts within the host's 400- and 40-unit
// buffers, whole or not at all, and the failure answer when the write throws.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>

#include "agent/HandlerSupport.h"
#include "platform/system/Utf.h"

namespace {

using NAMESPACE_COMMON::CDateTime;
using nx::agent::ItemWriteAnswer;
using nx::agent::WireChar;

// The host's two buffers, filled with a marker so a write past the terminator would show.
struct Buffers {
    Buffers() {
        id.fill(0x7777);
        time.fill(0x7777);
    }
    std::string Id() const { return Text(id.data()); }
    std::string Time() const { return Text(time.data()); }
    static std::string Text(const WireChar* units) {
        return nx::sys::Utf16ToUtf8(nx::agent::AsUtf16(nx::agent::InText(units)));
    }
    std::array<WireChar, nx::agent::kIdentifierUnits> id;
    std::array<WireChar, nx::agent::kTimeTextUnits> time;
};

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST(ItemWriteAnswer, TextsFitTheirBuffersWholeOrNotAtAll) {
    const std::string pair = "\xF0\x9F\x98\x80";  // one character, two UTF-16 units
    struct Case {
        const char* name;
        std::string identifier;
        CDateTime modified;
        bool identifierSent;
        const char* time;
    };
    const Case cases[] = {
        {"399 units fit", std::string(399, 'A'), CDateTime(2012, 5, 1, 13, 45, 0), true,
         "2012/05/01 13:45:00"},
        {"400 units do not", std::string(400, 'A'), CDateTime(2012, 5, 1, 13, 45, 0), false,
         "2012/05/01 13:45:00"},
        {"pairs count two units", Repeat(pair, 199) + "A", CDateTime::Null(), true, ""},
        {"200 pairs are 400 units", Repeat(pair, 200), CDateTime(0.0, CDateTime::invalid), false,
         "Invalid DateTime"},
        {"empty", "", CDateTime::Null(), true, ""},
    };
    for (const Case& c : cases) {
        Buffers b;
        const int32_t result = nx::agent::AnswerItemWrite(
            ItemWriteAnswer{c.identifier, c.modified, 0}, nx::agent::IdentifierOut(b.id.data()),
            nx::agent::TimeTextOut(b.time.data()), "WriteContacts");
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(b.Id(), c.identifierSent ? c.identifier : "") << c.name;
        EXPECT_EQ(b.Time(), c.time) << c.name;
    }
}

TEST(ItemWriteAnswer, AWriteThatThrowsAnswersTheFailure) {
    Buffers b;
    const std::u16string xml = u"<Contact/>";
    std::string seen;
    const int32_t result = nx::agent::RunItemWrite(
        nx::agent::InText(reinterpret_cast<const WireChar*>(xml.data()), xml.size()),
        nx::agent::IdentifierOut(b.id.data()), nx::agent::TimeTextOut(b.time.data()), "WriteContacts",
        [&](NAMESPACE_MAPI::CMAPIObject&, const std::string& text) -> ItemWriteAnswer {
            seen = text;
            throw std::runtime_error("the document object cannot be created");
        });
    EXPECT_EQ(seen, "<Contact/>");
    EXPECT_EQ(b.Id(), "");
    EXPECT_EQ(b.Time(), "");
    EXPECT_EQ(result, 1);
}

}  // namespace
