#include "install/permissions.h"

#include "install/file_removal.h"
#include "install/registry.h"
#include "setup/handles.h"

#include <windows.h>
#include <aclapi.h>

namespace {

// Modify rights: read, write, execute and delete, but neither the right to change the
// rights or the owner nor to delete other users' files through the folder.
constexpr DWORD kModifyRights =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
static_assert(kModifyRights == 0x1301BF);

// ERROR_REPARSE_POINT_ENCOUNTERED, which the toolchain's headers lack.
constexpr DWORD kReparsePointEncountered = 4395;

} // namespace

std::expected<void, std::wstring> GrantUsersWriteAccess(const std::filesystem::path& folder) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &sidSize))
        return std::unexpected(FormatWindowsError(L"SID des utilisateurs", ::GetLastError()));

    // Users may create the folder before the installation, as a link to a folder whose
    // rights they want: the grant is made only on a real folder, held until it is done.
    const UniqueHandle held = PinFolder(folder);
    if (!held && IsLink(folder))
        return std::unexpected(FormatWindowsError(L"Droits d'écriture sur " + folder.native(),
                                                  kReparsePointEncountered));

    PACL currentDacl = nullptr; // points into the descriptor
    LocalMemory descriptor;
    DWORD code = ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &currentDacl, nullptr,
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
    if (code == ERROR_SUCCESS)
        code = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                       static_cast<PACL>(newDacl.get()), nullptr);
    if (code != ERROR_SUCCESS)
        return std::unexpected(
            FormatWindowsError(L"Droits d'écriture sur " + folder.native(), code));
    return {};
}
