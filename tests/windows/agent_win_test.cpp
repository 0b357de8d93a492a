// The Windows agent on the system runtime without a MAPI runtime beside it: NxAgentOutlook64.exe
// is started and called over "\pipe\MapiServer64" through nxhost's client stubs, as the host calls
// it. What the smoke session (nxhost_win_test) cannot show: the 3000-unit buffer coming back as
// sent, a logon and counts that fail without MAPI, and an agent whose host has gone away still
// ending with exit code 0.
#include <string>
#include <vector>

#include "tests/windows/WinAgent.h"

namespace {

namespace agent = nx::agent;
using nx::rpc::Args;
using nx::test::kAgentExitSeconds;
using nx::test::WinAgent;

TEST_F(WinAgent, ServesTheProceduresWithoutMapiAndEndsWithZero) {
    // The 3000-unit buffer comes back as sent, whatever it holds.
    std::vector<char16_t> sent(3000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char16_t>(0x20 + i % 0xD000);
    Args folder = Call(agent::kGetContactFolder, [&](Args& a) { a.Array(0) = sent; });
    EXPECT_EQ(folder.Array(0), sent);
    EXPECT_EQ(folder.Long(1), 1);

    // No MAPI runtime beside the agent: the logon fails and counts are 0, with result 0.
    EXPECT_EQ(Call(agent::kMAPILogOn).Long(1), 1);
    Args count = Call(agent::kGetContactCount);
    EXPECT_EQ(count.Long(0), 0);
    EXPECT_EQ(count.Long(1), 0);
    EXPECT_EQ(Call(agent::kSetContactFolder, [](Args& a) { a.Text(0) = u"Contacts"; }).Long(1), 1);

    // The sized out-strings arrive as strings within their buffers.
    Args write = Call(agent::kWriteContacts, [](Args& a) { a.Text(0) = u"<contact/>"; });
    EXPECT_LT(write.Text(1).size(), 400u);
    EXPECT_LT(write.Text(2).size(), 40u);

    Call(agent::kShutdown);
    EXPECT_EQ(m_agent.Wait(kAgentExitSeconds), 0);
}

TEST_F(WinAgent, EndsWithZeroWhenTheHostIsGone) {
    // Binding to a callback pipe nobody serves succeeds; the shutdown notice then fails inside
    // the agent, which must neither crash nor hang on it.
    Call(agent::kBindCallback);
    Call(agent::kShutdown);
    EXPECT_EQ(m_agent.Wait(kAgentExitSeconds), 0);
}

}  // namespace
