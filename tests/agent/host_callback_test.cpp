// The agent's callback binding against an in-process host.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/HostCallback.h"
#include "agent/Interfaces.h"
#include "platform/system/Utf.h"
#include "tests/support/TempWorld.h"

namespace {

namespace agent = nx::agent;

// A read thread may be delivering through the binding when the host asks for a new one
// (BindCallback, or MAPILogOn on another connection): that delivery must finish on the binding it
// started with, in one step or in two, and the next one goes through the new binding.
TEST(HostCallback, ARebindDuringADeliveryLetsThatDeliveryFinish) {
    nx::test::TempWorld world("cb", "/tmp");  // a short socket path
    world.SetEnv("NX_CALLBACK_TIMEOUT_MS", "20000");

    std::mutex lock;
    std::vector<std::string> received;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<nx::rpc::Handler> handlers(agent::kCallbackProcCount);
    handlers[agent::kNotifyShutdown] = [](nx::rpc::Args&) {};
    handlers[agent::kDeliverCalendar] = [](nx::rpc::Args&) {};
    handlers[agent::kDeliverContact] = [&](nx::rpc::Args& args) {
        bool first = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            received.push_back(nx::sys::Utf16ToUtf8(args.Text(0)));
            first = received.size() == 1;
        }
        if (first) {
            entered.set_value();
            released.wait();  // holds the first delivery while the test rebinds
        }
    };
    nx::rpc::Server host;
    ASSERT_EQ(host.UseProtseqEp(agent::kProtseq, 0, agent::kCallbackEndpoint), nx::rpc::RPC_S_OK);
    ASSERT_EQ(host.RegisterIf(agent::CallbackInterface(), handlers), nx::rpc::RPC_S_OK);
    // As nxhost listens: with room for one call only, the second delivery (a new connection) can
    // arrive while the first one's slot is still held just after its reply went out, and be
    // refused as too busy.
    auto listening = std::async(std::launch::async, [&] { return host.Listen(1, agent::kMaxCalls); });

    agent::BindHostCallback();
    auto delivery = std::async(std::launch::async, [] { return agent::DeliverContact("<first/>"); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    agent::BindHostCallback();  // drops the process's reference to the binding in use
    agent::BindHostCallback();
    release.set_value();

    EXPECT_EQ(delivery.get(), nx::rpc::RPC_S_OK);
    EXPECT_EQ(agent::DeliverContact("<second/>"), nx::rpc::RPC_S_OK);
    // In two steps, the answer comes through the binding the document went out on.
    ASSERT_EQ(agent::SendContact("<third/>"), nx::rpc::RPC_S_OK);
    agent::BindHostCallback();
    EXPECT_EQ(agent::CollectDelivery(), nx::rpc::RPC_S_OK);
    EXPECT_EQ(agent::CollectDelivery(), nx::rpc::RPC_S_INVALID_ARG);  // nothing on its way
    EXPECT_EQ(received, (std::vector<std::string>{"<first/>", "<second/>", "<third/>"}));

    while (host.StopListening() != nx::rpc::RPC_S_OK)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(listening.get(), nx::rpc::RPC_S_OK);
}

}  // namespace
