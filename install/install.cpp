#include "install/install.h"

std::expected<void, std::wstring> Install(const mvpk::Reader&, const ProductInfo&, Scope,
                                          const std::filesystem::path&, const ProgressCallback&) {
    // Not built yet: never report an installation that did not happen as a success.
    return std::unexpected(std::wstring(L"Installation non disponible"));
}
