#include "setup/file_identity.h"

#include <cstring>

std::optional<FILE_ID_INFO> IdentityOf(HANDLE handle) {
    FILE_ID_INFO id{};
    if (!::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id)))
        return std::nullopt;
    return id;
}

bool SameIdentity(const std::optional<FILE_ID_INFO>& a, const std::optional<FILE_ID_INFO>& b) {
    return a && b && a->VolumeSerialNumber == b->VolumeSerialNumber &&
           std::memcmp(&a->FileId, &b->FileId, sizeof(a->FileId)) == 0;
}
