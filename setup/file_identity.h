// Which file or folder an open handle is: two handles are of the same one when their
// identities are equal, whatever names, links or case led to each.
#pragma once

#include <windows.h>

#include <optional>

// The volume's serial number and the file's 128-bit identifier; none when the system cannot
// tell.
std::optional<FILE_ID_INFO> IdentityOf(HANDLE handle);

// False when either is unknown.
bool SameIdentity(const std::optional<FILE_ID_INFO>& a, const std::optional<FILE_ID_INFO>& b);
