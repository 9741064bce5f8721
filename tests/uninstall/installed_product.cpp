#include "tests/uninstall/installed_product.h"

#include "tests/support/test_support.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/install.h"
#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/text.h"

#include <map>
#include <memory>
#include <span>

namespace uninstall_testing {

namespace {

std::filesystem::path ProductBuildDir() {
    return testing_support::BinDir().parent_path() / L"tests" / L"uninstall";
}

std::string ReadOrEmpty(const std::filesystem::path& file) {
    try {
        return testing_support::ReadFileBytes(file);
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

TestProductPackage::TestProductPackage(const std::wstring& setupTarget)
    : target_(setupTarget), info_(LoadProductInfo(ParseMetadata(
                                ReadOrEmpty(ProductBuildDir() / (setupTarget + L".metadata"))))),
      bytes_(testing_support::ResourceBytes(SetupExe(), L"PAYLOAD")),
      reader_(mvpk::Reader::Open(std::as_bytes(std::span(bytes_)))) {}

std::filesystem::path TestProductPackage::SetupExe() const {
    return testing_support::BinDir() / (target_ + L".exe");
}

std::expected<void, std::wstring>
TestProductPackage::InstallTo(Scope scope, const std::filesystem::path& folder) const {
    if (!reader_)
        return std::unexpected(L"package: " + Utf8ToWide(reader_.error()));
    return Install(*reader_, info_, scope, folder, [](double, const std::wstring&) {});
}

const TestProductPackage& LoadedPackage(const std::wstring& setupTarget) {
    // Held by pointer: the package's reader refers to its bytes, so it must never move.
    static std::map<std::wstring, std::unique_ptr<TestProductPackage>> loaded;
    auto& package = loaded[setupTarget];
    if (!package)
        package = std::make_unique<TestProductPackage>(setupTarget);
    return *package;
}

void RemoveEverything(const ProductInfo& info, const std::filesystem::path& folder) {
    std::error_code ignored;
    for (Scope scope : {Scope::User, Scope::Machine}) {
        DeleteRegistration(scope, info);
        std::filesystem::remove(ShortcutPath(info, scope), ignored);
        const auto data = DataDirectory(info.product, scope).parent_path();
        if (data.is_absolute())
            std::filesystem::remove_all(data, ignored);
    }
    if (!folder.empty())
        std::filesystem::remove_all(folder, ignored);
}

} // namespace uninstall_testing
