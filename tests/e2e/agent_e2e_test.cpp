// The real agent process driven by the real nxhost (or by an RPC client in the test) in a
// temporary world.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "agent/Interfaces.h"
#include "platform/rpc/Rpc.h"
#include "tests/e2e/World.h"

namespace {

using nx::e2e::WaitListening;
using nx::e2e::World;
namespace agent = nx::agent;

std::shared_ptr<nx::rpc::Binding> Bind(const char* endpoint) {
    std::string s;
    EXPECT_EQ(nx::rpc::StringBindingCompose("", agent::kProtseq, "", endpoint, "", s), nx::rpc::RPC_S_OK);
    std::shared_ptr<nx::rpc::Binding> b;
    EXPECT_EQ(nx::rpc::BindingFromStringBinding(s, b), nx::rpc::RPC_S_OK);
    return b;
}

enum class Runtime { Absent, Incomplete, Complete };

class StartAndShutdown : public ::testing::TestWithParam<Runtime> {};

TEST_P(StartAndShutdown, EndsWithExitZeroWhateverTheMapiRuntime) {
    const Runtime runtime = GetParam();
    World w;
    ASSERT_TRUE(runtime != Runtime::Complete || World::HaveMapiRuntime())
        << "libmapi32.so is missing from the build";
    const std::string exe = w.InstallAgent(runtime == Runtime::Complete);
    if (runtime == Runtime::Incomplete)  // a runtime without HrGetOneProp, FreeProws, HrQueryAllRows
        std::filesystem::copy_file(NX_FAKE_PARTIAL_MAPI, w.Root() / "agent/libmapi32.so");
    w.SetEnv("NX_DEBUG_OUTPUT", (w.Root() / "debug.txt").string());
    const auto r = w.Host({"--start", exe, "-e", "GetContactCount", "-e", "MAPILogOn", "-e",
                           "GetAppProfile x", "-e", "GetAppFolder x", "-e", "SetContactFolder \"\"", "-e",
                           "ReadContacts \"\" \"\"", "-e", "MAPILogOff", "-e", "Shutdown"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("agent: exit status 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("summary: 8 calls, 0 failed"), std::string::npos) << r.out;

    // Start-up goes on to the configuration and the work folder only with a bound runtime.
    EXPECT_EQ(std::filesystem::is_directory(w.Root() / "data/Outlook"), runtime == Runtime::Complete);

    const std::string debug = nx::e2e::ReadWholeFile(w.Root() / "debug.txt");
    const std::string enter = "#### Load dovlib32.dll function enter ####";
    switch (runtime) {
        case Runtime::Complete:
            EXPECT_NE(debug.find(enter + "#### Load dovlib32.dll function return TRUE ####"),
                      std::string::npos)
                << debug;
            return;
        case Runtime::Incomplete:
            EXPECT_NE(debug.find(enter + "LoadLibrary MAPI32.dll failed\n"), std::string::npos) << debug;
            break;
        case Runtime::Absent:
            EXPECT_NE(debug.find("unable open MAPI32.dll failed\n"), std::string::npos) << debug;
            EXPECT_EQ(debug.find("#### Load"), std::string::npos) << debug;
            break;
    }
    // Without a complete runtime every procedure that needs it answers its failure value.
    for (const char* answer :
         {"> GetContactCount\n   count = 0\n   result = 0\n", "> MAPILogOn\n   result = 1\n",
          "> GetAppProfile x\n   result = 1\n", "> GetAppFolder x\n   result = 1\n",
          "> SetContactFolder \"\"\n   result = 1\n", "> ReadContacts \"\" \"\"\n   result = 1\n"})
        EXPECT_NE(r.out.find(answer), std::string::npos) << answer << "\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(Agent, StartAndShutdown,
                         ::testing::Values(Runtime::Absent, Runtime::Incomplete, Runtime::Complete),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Runtime::Absent:
                                     return "WithoutMapiRuntime";
                                 case Runtime::Incomplete:
                                     return "WithIncompleteMapiRuntime";
                                 default:
                                     return "WithMapiRuntime";
                             }
                         });

TEST(AgentE2E, NotifyShutdownReachesTheHostExactlyWhenACallbackBindingExists) {
    struct Case {
        std::vector<std::string> calls;
        const char* notifications;
    } cases[] = {
        {{"Shutdown"}, "NotifyShutdown received: 0"},
        {{"BindCallback", "Shutdown"}, "NotifyShutdown received: 1"},
        {{"MAPILogOn", "Shutdown"}, "NotifyShutdown received: 1"},
        {{"BindCallback", "BindCallback", "Shutdown"}, "NotifyShutdown received: 1"},
    };
    for (const auto& c : cases) {
        World w;
        const std::string exe = w.InstallAgent(false);
        std::vector<std::string> args = {"--start", exe};
        for (const auto& call : c.calls) {
            args.push_back("-e");
            args.push_back(call);
        }
        const auto r = w.Host(args);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(c.notifications), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("agent: exit status 0"), std::string::npos) << r.out;
    }
}

TEST(AgentE2E, ABoundCallbackWithNoHostServingItStillEndsCleanly) {
    World w;
    const std::string exe = w.InstallAgent(false);
    const auto r = w.Host({"--no-callback", "--start", exe, "-e", "BindCallback", "-e", "Shutdown"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("agent: exit status 0"), std::string::npos) << r.out;
}

TEST(AgentE2E, ASecondAgentOnTheSameEndpointExitsWithTheRpcStatus) {
    World w;
    const std::string exe = w.InstallAgent(false);
    const pid_t first = w.Spawn({exe}, w.Root() / "first.out", w.Root() / "first.err");
    ASSERT_TRUE(WaitListening(agent::kAgentEndpoint));

    const auto second = w.Run({exe}, 20);
    EXPECT_EQ(second.exitCode, 204) << "RPC_S_DUPLICATE_ENDPOINT 1740 & 0xFF";
    EXPECT_NE(
        second.err.find("RpcServerUseProtseqEp failed with RPC status 1740 (0x000006CC); exit code 204"),
        std::string::npos)
        << second.err;

    // nxhost refuses to start a second agent rather than talk to the first one by mistake.
    const auto refused = w.Host({"--start", exe, "-e", "NoOperation"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("an agent already listens on \\pipe\\MapiServer64"), std::string::npos)
        << refused.err;

    const auto r = w.Host({"-e", "Shutdown"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(w.Wait(first, 20), 0);
}

TEST(AgentE2E, ADebugOutputPipeWithoutReaderDoesNotStopTheAgent) {
    World w;
    const std::string exe = w.InstallAgent(false);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody reads the agent's standard output
    const std::string fifo = (w.Root() / "debug.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // a named pipe nobody opens for reading
    for (const char* target : {"stdout", "stderr", fifo.c_str()}) {
        w.SetEnv("NX_DEBUG_OUTPUT", target);
        const pid_t pid = w.Spawn({exe}, w.Root() / "agent.out", w.Root() / "agent.err", [&fds] {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
        });
        ASSERT_GT(pid, 0);
        if (!WaitListening(agent::kAgentEndpoint)) {
            ADD_FAILURE() << target << ": the agent ended before it listened, exit code " << w.Wait(pid, 0);
            continue;
        }
        const auto binding = Bind(agent::kAgentEndpoint);
        nx::rpc::Args args(agent::AgentInterface().procedures[agent::kShutdown]);
        EXPECT_EQ(binding->Call(agent::AgentInterface(), agent::kShutdown, args), nx::rpc::RPC_S_OK)
            << target;
        EXPECT_EQ(w.Wait(pid, 20), 0) << target;
    }
    close(fds[1]);
}

TEST(AgentE2E, ConstantProceduresOverTheWire) {
    World w;
    const std::string exe = w.InstallAgent(false);
    const pid_t pid = w.Spawn({exe}, w.Root() / "agent.out", w.Root() / "agent.err");
    ASSERT_TRUE(WaitListening(agent::kAgentEndpoint));
    const auto binding = Bind(agent::kAgentEndpoint);
    ASSERT_TRUE(binding);
    const auto& iface = agent::AgentInterface();

    // 3000 units (6000 bytes, more than one fragment) of every kind of unit come back unchanged.
    nx::rpc::Args folder(iface.procedures[agent::kGetContactFolder]);
    auto& buffer = folder.Array(0);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<char16_t>(0xD7F0 + (i * 7919) % 0x2810);
    buffer[0] = 0;
    buffer[2999] = 0xDFFF;
    const std::vector<char16_t> sent = buffer;
    ASSERT_EQ(binding->Call(iface, agent::kGetContactFolder, folder), nx::rpc::RPC_S_OK);
    EXPECT_EQ(folder.Array(0), sent);
    EXPECT_EQ(folder.Long(1), 1);

    nx::rpc::Args calendar(iface.procedures[agent::kGetCalendarFolder]);
    calendar.WChar(0) = u'x';
    calendar.Long(1) = 77;
    ASSERT_EQ(binding->Call(iface, agent::kGetCalendarFolder, calendar), nx::rpc::RPC_S_OK);
    EXPECT_EQ(calendar.Long(1), 0);

    nx::rpc::Args noop(iface.procedures[agent::kNoOperation]);
    ASSERT_EQ(binding->Call(iface, agent::kNoOperation, noop), nx::rpc::RPC_S_OK);
    EXPECT_EQ(noop.Long(1), 0);

    // A large request (a 20000-unit document) crosses in fragments and is answered: a document
    // that is not a contact writes nothing and is handled (result 0, no identifier).
    nx::rpc::Args write(iface.procedures[agent::kWriteContacts]);
    write.Text(0) = u"<contact>" + std::u16string(20000, u'\u00E9') + u"</contact>";
    ASSERT_EQ(binding->Call(iface, agent::kWriteContacts, write), nx::rpc::RPC_S_OK);
    EXPECT_EQ(write.Long(3), 0);
    EXPECT_EQ(write.Text(1), u"");

    nx::rpc::Args shutdown(iface.procedures[agent::kShutdown]);
    EXPECT_EQ(binding->Call(iface, agent::kShutdown, shutdown), nx::rpc::RPC_S_OK);
    EXPECT_EQ(w.Wait(pid, 20), 0);
}

TEST(AgentE2E, TraceLogAndConfigurationOfTheInstalledAgent) {
    World w;
    const bool mapi = World::HaveMapiRuntime();
    const std::string exe = w.InstallAgent(mapi);
    nx::e2e::WriteWholeFile(w.Root() / "config/nx-registry/HKEY_CURRENT_USER.reg",
                            "Windows Registry Editor Version "
                            "5.00\r\n\r\n[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n\"" +
                                exe + "\"=dword:00000002\r\n");
    nx::e2e::WriteWholeFile(w.Root() / "agent/PIMProfile.ini",
                            "[Outlook]\r\nsubfolder=true\r\nXMLPath=Sync\r\n");

    const auto r =
        w.Host({"--start", exe, "-e", "GetContactFolder abc", "-e", "GetCalendarFolder", "-e", "Shutdown"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("buffer = 3000 units, unchanged, text \"abc\"\n   result = 1"), std::string::npos)
        << r.out;

    const std::string log = nx::e2e::ReadWholeFile(w.Root() / "agent/NxAgentOutlook64.log");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.substr(0, 2), "\xFF\xFE");
    const std::string tag = "[NxAgentForOutlook64] ";
    EXPECT_EQ(
        w.TraceText(),
        tag + "finish Rpc Intliaize-----------------------------------" + tag +
            "CMAPIObject::GetContactFolder - Begin\r\n" + tag + "CMAPIObject::GetContactFolder - Finish\r\n" +
            tag + "Outlook2k - GetCalendarFolder : Begin\r\n" + tag +
            "Outlook2k - GetCalendarFolder : Finish\r\n" + tag + "Calling RpcMgmtStopServerListening\n" +
            tag + "RpcMgmtStopServerListening returned: 0x0\n" + tag + "Calling RpcServerUnregisterIf\n" +
            tag + "RpcServerUnregisterIf returned 0x0\n");
    // The configuration is read (and its folders made) only once MAPI is bound.
    EXPECT_EQ(std::filesystem::is_directory(w.Root() / "data/Sync"), mapi);
    EXPECT_EQ(std::filesystem::is_directory(w.Root() / "data/Outlook"), mapi);
}

TEST(HostE2E, DocumentsDeliveredWhileASessionRunsAreSavedOnePerFile) {
    World w;
    const std::string exe = w.InstallAgent(false);
    const auto docs = w.Root() / "docs";
    const pid_t host = w.Spawn({w.Bin("nxhost").string(), "--save", docs.string(), "--start", exe, "-e",
                                "BindCallback", "-e", "sleep 3000", "-e", "Shutdown"},
                               w.Root() / "host.out", w.Root() / "host.err");
    ASSERT_TRUE(WaitListening(agent::kCallbackEndpoint));
    const auto binding = Bind(agent::kCallbackEndpoint);
    const auto& iface = agent::CallbackInterface();
    const std::u16string texts[] = {u"<contact>\u00E9 1</contact>", u"<contact>2</contact>", u"<calendar/>"};
    const uint16_t procs[] = {agent::kDeliverContact, agent::kDeliverContact, agent::kDeliverCalendar};
    for (int i = 0; i < 3; ++i) {
        nx::rpc::Args a(iface.procedures[procs[i]]);
        a.Text(0) = texts[i];
        EXPECT_EQ(binding->Call(iface, procs[i], a), nx::rpc::RPC_S_OK);
    }
    EXPECT_EQ(w.Wait(host, 30), 0) << nx::e2e::ReadWholeFile(w.Root() / "host.out")
                                   << nx::e2e::ReadWholeFile(w.Root() / "host.err");
    EXPECT_EQ(nx::e2e::ReadWholeFile(docs / "contact-0001.xml"), "<contact>\xC3\xA9 1</contact>");
    EXPECT_EQ(nx::e2e::ReadWholeFile(docs / "contact-0002.xml"), "<contact>2</contact>");
    EXPECT_EQ(nx::e2e::ReadWholeFile(docs / "calendar-0001.xml"), "<calendar/>");
    const std::string out = nx::e2e::ReadWholeFile(w.Root() / "host.out");
    EXPECT_NE(out.find("documents: 2 contact, 1 calendar; NotifyShutdown received: 1"), std::string::npos)
        << out;
}

TEST(HostE2E, AnInterruptedSessionDoesNotLeaveItsAgentRunning) {
    World w;
    const std::string exe = w.InstallAgent(false);
    const pid_t host = w.Spawn({w.Bin("nxhost").string(), "--start", exe, "-e", "sleep 30000"},
                               w.Root() / "host.out", w.Root() / "host.err");
    ASSERT_TRUE(WaitListening(agent::kAgentEndpoint));
    ASSERT_EQ(::kill(host, SIGINT), 0);
    EXPECT_EQ(w.Wait(host, 30), 128 + SIGINT) << nx::e2e::ReadWholeFile(w.Root() / "host.err");
    EXPECT_NE(nx::e2e::ReadWholeFile(w.Root() / "host.err").find("nxhost: interrupted"), std::string::npos);
    // The agent nxhost started is ended with it (bounded: it may take a moment to go).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (nx::rpc::EndpointIsListening(agent::kAgentEndpoint) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(nx::rpc::EndpointIsListening(agent::kAgentEndpoint));
}

TEST(HostE2E, ClearErrorsAndExitStatuses) {
    World w;
    nx::e2e::WriteWholeFile(w.Root() / "blocker", "x");
    struct Case {
        std::vector<std::string> args;
        const char* pipeDir;  // null: the world's
        int exitCode;
        const char* message;
    } cases[] = {
        {{"-e", "GetContactCount"}, nullptr, 1, "no agent listens on \\pipe\\MapiServer64"},
        {{"--bogus"}, nullptr, 2, "unknown option --bogus"},
        {{"-e", "GetContactCont"}, nullptr, 2, "-e 1: unknown procedure 'GetContactCont'"},
        {{"MAPILogOn", "OO"}, nullptr, 2, "command line: MAPILogOn: profile is one character"},
        {{"--script", "/nonexistent/script.txt"},
         nullptr,
         2,
         "cannot read the script /nonexistent/script.txt"},
        {{"--wait", "soon", "-e", "Shutdown"}, nullptr, 2, "--wait needs a whole number"},
        {{"-e", "Shutdown"}, "blocker/pipes", 1, "cannot serve \\pipe\\OutlookServer32"},
        {{"--start", "/nonexistent/agent", "-e", "Shutdown"},
         nullptr,
         1,
         "cannot run the agent /nonexistent/agent"},
    };
    for (const auto& c : cases) {
        w.SetEnv("NX_PIPE_DIR", (w.Root() / (c.pipeDir ? c.pipeDir : "pipes")).string());
        const auto r = w.Host(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.message << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // A session whose expected values differ fails, and says which value.
    w.SetEnv("NX_PIPE_DIR", (w.Root() / "pipes").string());
    const std::string exe = w.InstallAgent(false);
    const auto expect = w.Host({"--start", exe, "-e", "GetCalendarFolder => result 0", "-e",
                                "GetContactFolder abc => buffer abc result 0", "-e", "Shutdown"});
    EXPECT_EQ(expect.exitCode, 1) << expect.out << expect.err;
    EXPECT_NE(expect.err.find("GetContactFolder: result is \"1\", expected \"0\""), std::string::npos)
        << expect.err;
    EXPECT_NE(expect.out.find("summary: 3 calls, 1 failed"), std::string::npos) << expect.out;

    const auto help = w.Host({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: nxhost"), std::string::npos);
    const auto list = w.Host({"--list"});
    EXPECT_NE(list.out.find("16 BindCallback"), std::string::npos) << list.out;
}

}  // namespace
