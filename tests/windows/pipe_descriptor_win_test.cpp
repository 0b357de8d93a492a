// The descriptor every server endpoint is created with (platform/rpc/PipeSecurity_win.h), read
// back with the system's own functions: owned by the user, and an access list that inherits
// nothing and lets the user, and nobody else, in.
#include <gtest/gtest.h>

#include <vector>

#include "platform/rpc/PipeSecurity_win.h"
// After the portable headers: the system headers make the RPC status names macros.
#include "platform/system/Win.h"

namespace {

namespace win = nx::rpc::win;

TEST(WinPipeDescriptor, LetsTheUserAloneIn) {
    const win::UserOnlyDescriptor descriptor;
    ASSERT_NE(descriptor.get(), nullptr);
    ASSERT_TRUE(::IsValidSecurityDescriptor(descriptor.get()));
    std::vector<uint8_t> user = win::ProcessUser().bytes;

    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(::EqualSid(owner, user.data()));

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the access list must not inherit entries";

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr) << "a null access list would let everybody in";
    ASSERT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &ace));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(GENERIC_ALL));
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&allowed->SidStart), user.data()));
}

}  // namespace
