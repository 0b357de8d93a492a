#include "agent/Interfaces.h"

#include <gtest/gtest.h>

#include "agent/ServiceHandlers.h"

// The identities the host binds to; a typo here would make every call fail with an unknown
// interface.
TEST(Interfaces, IdentitiesAndHandlerTable) {
    const auto& a = nx::agent::AgentInterface();
    EXPECT_EQ(a.uuid.ToString(), "ef5f4cf7-3a43-4410-ab61-cbf701f14135");
    EXPECT_EQ(a.versionMajor, 1);
    EXPECT_EQ(a.versionMinor, 0);
    EXPECT_EQ(a.procedures.size(), 17u);
    const auto& c = nx::agent::CallbackInterface();
    EXPECT_EQ(c.uuid.ToString(), "887e407b-88c9-4e15-9435-27481418cd5b");
    EXPECT_EQ(c.versionMajor, 1);
    EXPECT_EQ(c.procedures.size(), 3u);

    const auto handlers = nx::agent::BuildAgentHandlers();
    ASSERT_EQ(handlers.size(), a.procedures.size());
    for (std::size_t i = 0; i < handlers.size(); ++i) EXPECT_TRUE(handlers[i]) << a.procedures[i].name;
}
