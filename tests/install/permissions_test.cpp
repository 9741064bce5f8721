#include "install/permissions.h"

#include "setup/handles.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>

namespace {

using testing_support::TempDir;

struct Grant {
    ACCESS_MASK mask = 0;
    BYTE flags = 0;
};

// The access-allowed entries of the folder's DACL that name BUILTIN\Users.
std::vector<Grant> UsersGrants(const std::filesystem::path& folder) {
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(users);
    EXPECT_TRUE(::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
    PACL dacl = nullptr;
    LocalMemory descriptor;
    EXPECT_EQ(::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr,
                                      reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())),
              static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<Grant> grants;
    if (dacl == nullptr)
        return grants;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (::EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), users))
            grants.push_back({allowed->Mask, header->AceFlags});
    }
    return grants;
}

bool RunningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(GrantUsersWriteAccess, StoresAnInheritableModifyGrantForUsers) {
    TempDir dir;
    const std::filesystem::path folder = dir / L"Données";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(GrantUsersWriteAccess(folder).has_value());
    // Granting again merges with the entry already there instead of failing.
    ASSERT_TRUE(GrantUsersWriteAccess(folder).has_value());

    const auto grants = UsersGrants(folder);
    if (grants.empty() && RunningUnderWine())
        GTEST_SKIP() << "Wine 8.0 keeps no DACL on files: it maps it to the Unix mode bits, so "
                        "the grant cannot be read back";
    const auto found = std::ranges::find_if(grants, [](const Grant& g) {
        return g.mask == 0x1301BF &&
               (g.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE)) ==
                   (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    });
    std::string seen;
    for (const Grant& g : grants)
        seen += " mask " + std::to_string(g.mask) + " flags " + std::to_string(g.flags);
    EXPECT_NE(found, grants.end())
        << "no grant 0x1301BF with inheritance 3 for S-1-5-32-545;" << seen;
}

TEST(GrantUsersWriteAccess, MissingFolderReportsTheReadFailure) {
    TempDir dir;
    const std::filesystem::path folder = dir / L"absent";
    const auto result = GrantUsersWriteAccess(folder);
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().starts_with(L"Lecture des droits de " + folder.native() + L" : "))
        << std::string(result.error().begin(), result.error().end());
}

} // namespace
