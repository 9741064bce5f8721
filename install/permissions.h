// Rights on the product's data directory.
#pragma once

#include "setup/handles.h"

#include <expected>
#include <filesystem>
#include <string>

// The two halves of the grant below, apart so that the folder is held and checked before an
// installation changes anything: HoldGrantedFolder opens the folder (created when missing with
// create, otherwise a missing folder gives an empty handle) and checks it; WriteUsersGrant
// writes the rights through that handle.
std::expected<UniqueHandle, std::wstring> HoldGrantedFolder(const std::filesystem::path& folder,
                                                            bool create);
std::expected<void, std::wstring> WriteUsersGrant(const std::filesystem::path& folder, HANDLE held);

// Lets the Users group modify the folder and everything created below it afterwards. The
// folder is created when missing, then held: a real folder, never a link, that nobody else may
// delete or rename meanwhile, owned by Administrators, SYSTEM or the account that installs.
// The rights are written through that handle, on the folder alone; what it holds is never
// walked. Returns the held folder, in which the caller creates what must inherit the grant.
std::expected<UniqueHandle, std::wstring>
GrantUsersWriteAccess(const std::filesystem::path& folder);
