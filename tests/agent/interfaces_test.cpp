#include "agent/Interfaces.h"

#include <gtest/gtest.h>

#include <string>

#include "agent/ArgsAdapter.h"
#include "agent/ServiceHandlers.h"

namespace {

using nx::rpc::Direction;
using nx::rpc::Shape;

// The host's view of the agent interface: opnum, name and parameter shapes, written out as the
// host marshals them. A reordered list or a changed signature breaks every host.
struct WireProc {
    const char* name;
    std::string shapes;  // per parameter: c wchar in, s string in, a 3000-unit array in/out,
                         // i 400-unit out string, t 40-unit out string, l long out
};

std::string ShapesOf(const nx::rpc::Procedure& p) {
    std::string out;
    for (const auto& param : p.params) {
        switch (param.shape) {
            case Shape::WChar:
                out += param.dir == Direction::In ? "c" : "?";
                break;
            case Shape::String:
                out += param.dir == Direction::In ? "s" : "?";
                break;
            case Shape::FixedArray:
                out += param.dir == Direction::InOut && param.size == 3000 ? "a" : "?";
                break;
            case Shape::SizedOutString:
                out += param.size == 400 ? "i" : param.size == 40 ? "t" : "?";
                break;
            case Shape::Long:
                out += param.dir == Direction::Out ? "l" : "?";
                break;
        }
    }
    return out;
}

TEST(Interfaces, AgentProceduresAsTheHostMarshalsThem) {
    const WireProc expected[] = {
        {"Shutdown", ""},          {"MAPILogOn", "cl"},        {"MAPILogOff", ""},
        {"GetAppProfile", "sl"},   {"GetContactCount", "ll"},  {"GetCalendarCount", "ll"},
        {"GetAppFolder", "cl"},    {"GetContactFolder", "al"}, {"GetCalendarFolder", "cl"},
        {"NoOperation", "cl"},     {"SetContactFolder", "sl"}, {"SetCalendarFolder", "sl"},
        {"WriteContacts", "sitl"}, {"WriteCalendars", "sitl"}, {"ReadContacts", "ssl"},
        {"ReadCalendars", "ssl"},  {"BindCallback", ""},
    };
    const auto& a = nx::agent::AgentInterface();
    EXPECT_EQ(a.uuid.ToString(), "ef5f4cf7-3a43-4410-ab61-cbf701f14135");
    EXPECT_EQ(a.versionMajor, 1);
    EXPECT_EQ(a.versionMinor, 0);
    ASSERT_EQ(a.procedures.size(), std::size(expected));
    for (std::size_t op = 0; op < std::size(expected); ++op) {
        EXPECT_EQ(a.procedures[op].name, expected[op].name) << op;
        EXPECT_EQ(ShapesOf(a.procedures[op]), expected[op].shapes) << expected[op].name;
    }

    const auto& c = nx::agent::CallbackInterface();
    EXPECT_EQ(c.uuid.ToString(), "887e407b-88c9-4e15-9435-27481418cd5b");
    EXPECT_EQ(c.versionMajor, 1);
    const WireProc callbacks[] = {{"NotifyShutdown", ""}, {"DeliverContact", "s"}, {"DeliverCalendar", "s"}};
    ASSERT_EQ(c.procedures.size(), std::size(callbacks));
    for (std::size_t op = 0; op < std::size(callbacks); ++op) {
        EXPECT_EQ(c.procedures[op].name, callbacks[op].name) << op;
        EXPECT_EQ(ShapesOf(c.procedures[op]), callbacks[op].shapes) << callbacks[op].name;
    }

    const auto handlers = nx::agent::BuildAgentHandlers();
    ASSERT_EQ(handlers.size(), a.procedures.size());
    for (std::size_t i = 0; i < handlers.size(); ++i) EXPECT_TRUE(handlers[i]) << a.procedures[i].name;
}

// A stand-in with the writes' signature, to see what the adapter hands over and sends back.
std::u16string g_seenXml;
std::u16string g_setIdentifier;
int32_t FakeWrite(nx::agent::InText xml, nx::agent::IdentifierOut identifier, nx::agent::TimeTextOut time) {
    g_seenXml.assign(xml.begin(), xml.end());
    identifier.Set(g_setIdentifier);
    time.SetUtf8("2026-01-02T03:04:05Z");
    return 7;
}

TEST(Interfaces, AdapterPassesTextsAndTrimsOutTexts) {
    struct Case {
        std::u16string in;          // as received, possibly with a zero inside
        std::u16string identifier;  // what the procedure sets
        std::u16string seen;        // what the procedure saw
        std::u16string sent;        // the identifier the runtime sends
    };
    const std::u16string longId(450, u'A');
    std::u16string pairAtCut(398, u'B');
    pairAtCut += u"\U0001F600";  // units 398 and 399: the pair does not fit before the terminator
    const Case cases[] = {
        {u"<contact/>", u"00AB", u"<contact/>", u"00AB"},
        {std::u16string(u"ab\0cd", 5), u"", u"ab", u""},
        {u"", longId, u"", std::u16string(399, u'A')},
        {u"x", pairAtCut, u"x", std::u16string(398, u'B')},
    };
    const nx::rpc::Handler handler = nx::agent::HandlerFor<&FakeWrite>();
    for (const Case& c : cases) {
        nx::rpc::Args args(nx::agent::AgentInterface().procedures[nx::agent::kWriteContacts]);
        args.Text(0) = c.in;
        g_setIdentifier = c.identifier;
        handler(args);
        EXPECT_EQ(g_seenXml, c.seen);
        EXPECT_EQ(args.Text(1), c.sent);
        EXPECT_EQ(args.Text(2), u"2026-01-02T03:04:05Z");
        EXPECT_EQ(args.Long(3), 7);
    }
}

}  // namespace
