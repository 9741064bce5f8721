#include "install/permissions.h"

#include "setup/held_entries.h"
#include "install/registry.h"

#include <windows.h>
#include <aclapi.h>

#include <cstddef>

namespace {

// Modify rights: read, write, execute and delete, but neither the right to change the
// rights or the owner nor to delete other users' files through the folder.
constexpr DWORD kModifyRights =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
static_assert(kModifyRights == 0x1301BF);

// Administrators, SYSTEM, or the account this process runs as. Any other owner could change
// the folder's rights whenever they like.
bool IsTrustedOwner(PSID owner) {
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
        ::IsWellKnownSid(owner, WinLocalSystemSid))
        return true;
    UniqueHandle token;
    alignas(TOKEN_USER) std::byte user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
           ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size) &&
           ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}

std::unexpected<std::wstring> Refused(const std::filesystem::path& folder, DWORD code) {
    return std::unexpected(FormatWindowsError(L"Droits d'écriture sur " + folder.native(), code));
}

} // namespace

std::expected<UniqueHandle, std::wstring> HoldGrantedFolder(const std::filesystem::path& folder,
                                                            bool create) {
    // Users may create folders in ProgramData before any installation, and hold them open.
    auto held = OpenPath(folder, {.rights = READ_CONTROL | WRITE_DAC,
                                  .share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  .createFolder = create});
    if (!held && !create &&
        (held.error() == ERROR_FILE_NOT_FOUND || held.error() == ERROR_PATH_NOT_FOUND))
        return UniqueHandle();
    if (!held)
        return Refused(folder, held.error());
    if (held->kind != EntryKind::Folder)
        return Refused(folder, kReparsePointEncountered);

    PSID owner = nullptr; // points into the descriptor
    LocalMemory descriptor;
    const DWORD code = ::GetSecurityInfo(
        held->handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
        nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()));
    if (code != ERROR_SUCCESS)
        return std::unexpected(
            FormatWindowsError(L"Lecture des droits de " + folder.native(), code));
    if (!IsTrustedOwner(owner))
        return Refused(folder, ERROR_INVALID_OWNER);
    return std::move(held->handle);
}

std::expected<void, std::wstring> WriteUsersGrant(const std::filesystem::path& folder,
                                                  HANDLE held) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &sidSize))
        return std::unexpected(FormatWindowsError(L"SID des utilisateurs", ::GetLastError()));

    PACL currentDacl = nullptr; // points into the descriptor
    LocalMemory descriptor;
    DWORD code = ::GetSecurityInfo(held, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &currentDacl, nullptr,
                                   reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()));
    if (code != ERROR_SUCCESS)
        return std::unexpected(
            FormatWindowsError(L"Lecture des droits de " + folder.native(), code));

    EXPLICIT_ACCESSW grant{};
    grant.grfAccessPermissions = kModifyRights;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    grant.Trustee.pMultipleTrustee = nullptr;
    grant.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    grant.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);

    LocalMemory newDacl;
    code = ::SetEntriesInAclW(1, &grant, currentDacl, reinterpret_cast<PACL*>(newDacl.put()));
    if (code != ERROR_SUCCESS)
        return Refused(folder, code);
    // Written on the held folder alone: SetSecurityInfo would go on to rewrite every entry
    // below it, where users may have prepared links. Data and everything in it are made
    // afterwards and inherit the grant. The folder keeps its inheritance flags.
    SECURITY_DESCRIPTOR written;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    constexpr SECURITY_DESCRIPTOR_CONTROL kKept = SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
    if (!::GetSecurityDescriptorControl(descriptor.get(), &control, &revision) ||
        !::InitializeSecurityDescriptor(&written, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&written, TRUE, static_cast<PACL>(newDacl.get()), FALSE) ||
        !::SetSecurityDescriptorControl(&written, kKept, control & kKept) ||
        !::SetKernelObjectSecurity(held, DACL_SECURITY_INFORMATION, &written))
        return Refused(folder, ::GetLastError());
    return {};
}

std::expected<UniqueHandle, std::wstring>
GrantUsersWriteAccess(const std::filesystem::path& folder) {
    auto held = HoldGrantedFolder(folder, true);
    if (!held)
        return held;
    if (auto written = WriteUsersGrant(folder, held->get()); !written)
        return std::unexpected(written.error());
    return held;
}
