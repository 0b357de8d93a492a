// The Windows agent on the system runtime without a MAPI runtime beside it: NxAgentOutlook64.exe
// is started and called over "\pipe\MapiServer64" through nxhost's client stubs, as the host calls
// it. What the smoke session (nxhost_win_test) cannot show: the 3000-unit buffer coming back as
// sent, a logon and counts that fail without MAPI, and an agent whose host has gone away still
// ending with exit code 0.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/Interfaces.h"
#include "platform/rpc/Rpc.h"
#include "platform/system/Paths.h"
#include "tests/support/Process.h"

namespace {

namespace agent = nx::agent;
using nx::rpc::Args;

constexpr int kStartSeconds = 60;
constexpr int kExitSeconds = 30;

class WinAgent : public ::testing::Test {
protected:
    void SetUp() override {
        m_agent = nx::test::Process(
            {nx::sys::FolderWithSeparator(nx::sys::ExecutablePath()) + "NxAgentOutlook64.exe"});
        ASSERT_TRUE(m_agent.Running());
        std::string text;
        ASSERT_EQ(nx::rpc::StringBindingCompose("", agent::kProtseq, "", agent::kAgentEndpoint, "", text),
                  nx::rpc::RPC_S_OK);
        ASSERT_EQ(nx::rpc::BindingFromStringBinding(text, m_binding), nx::rpc::RPC_S_OK);
        // Bounded: a loaded machine (and Wine's first start) may take seconds.
        for (int tries = 0; tries < kStartSeconds * 5; ++tries) {
            Args args(Proc(agent::kNoOperation));
            if (m_binding->Call(agent::AgentInterface(), agent::kNoOperation, args) == nx::rpc::RPC_S_OK)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        FAIL() << "the agent did not answer on \\pipe\\MapiServer64";
    }

    static const nx::rpc::Procedure& Proc(uint16_t opnum) {
        return agent::AgentInterface().procedures[opnum];
    }

    // One call; its Args after the reply.
    Args Call(uint16_t opnum, const std::function<void(Args&)>& fill = {}) {
        Args args(Proc(opnum));
        if (fill) fill(args);
        EXPECT_EQ(m_binding->Call(agent::AgentInterface(), opnum, args), nx::rpc::RPC_S_OK)
            << Proc(opnum).name;
        return args;
    }

    nx::test::Process m_agent;
    std::shared_ptr<nx::rpc::Binding> m_binding;
};

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
    EXPECT_EQ(m_agent.Wait(kExitSeconds), 0);
}

TEST_F(WinAgent, EndsWithZeroWhenTheHostIsGone) {
    // Binding to a callback pipe nobody serves succeeds; the shutdown notice then fails inside
    // the agent, which must neither crash nor hang on it.
    Call(agent::kBindCallback);
    Call(agent::kShutdown);
    EXPECT_EQ(m_agent.Wait(kExitSeconds), 0);
}

}  // namespace
