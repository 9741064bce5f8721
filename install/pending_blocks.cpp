// Temporary: the building blocks land separately; until then each one fails loudly.
#include "install/installed_files.h"
#include "install/permissions.h"
#include "install/registration.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "install/uninstaller_copy.h"

namespace {
std::unexpected<std::wstring> Missing() {
    return std::unexpected(std::wstring(L"indisponible"));
}
} // namespace

std::expected<void, std::wstring> RegisterProduct(Scope, const ProductInfo&,
                                                  const std::filesystem::path&,
                                                  const std::filesystem::path&, const std::wstring&,
                                                  std::uint64_t,
                                                  const std::optional<std::filesystem::path>&) {
    return Missing();
}
std::filesystem::path ShortcutPath(const ProductInfo&, Scope) {
    return {};
}
std::expected<void, std::wstring> CreateShortcut(const std::filesystem::path&,
                                                 const std::filesystem::path&, const ProductInfo&) {
    return Missing();
}
std::expected<void, std::wstring> GrantUsersWriteAccess(const std::filesystem::path&) {
    return Missing();
}
std::expected<void, std::wstring> CopyUninstaller(const std::filesystem::path&) {
    return Missing();
}
void WriteInstalledFilesList(const std::filesystem::path&, const mvpk::Reader&) {}
std::vector<std::wstring> ReadInstalledFilesList(const std::filesystem::path&) {
    return {};
}
void RemoveListedFiles(const std::filesystem::path&, const std::vector<std::wstring>&) {}
std::wstring FindRunningInstance(const ProductInfo&, const std::filesystem::path&) {
    return {};
}
std::wstring RunningInstanceMessage(const ProductInfo& info) {
    return info.product;
}
std::expected<void, std::string> mvpk::Reader::Extract(const std::filesystem::path&,
                                                       const ByteProgressCallback&) const {
    return std::unexpected(std::string("indisponible"));
}
