// The test product installed for real, by the same Install that the setup program runs, and
// everything such an installation leaves, for clean-up and assertions.
#pragma once

#include "package/reader.h"
#include "setup/command_line.h"
#include "setup/metadata.h"

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace uninstall_testing {

// The product described by the metadata that a test product's setup program was built with
// (tests/uninstall/<target>.metadata in the build tree), and its package.
class TestProductPackage {
  public:
    explicit TestProductPackage(const std::wstring& setupTarget);
    const ProductInfo& info() const { return info_; }
    std::filesystem::path SetupExe() const;
    // Installs through Install on the calling thread, which needs a COM apartment.
    std::expected<void, std::wstring> InstallTo(Scope scope,
                                                const std::filesystem::path& folder) const;

  private:
    std::wstring target_;
    ProductInfo info_;
    std::string bytes_;
    std::expected<mvpk::Reader, std::string> reader_;
};

// The package of that setup program, read once per test program.
const TestProductPackage& LoadedPackage(const std::wstring& setupTarget);

// Every file a test installation can leave outside its install folder, and its keys.
void RemoveEverything(const ProductInfo& info, const std::filesystem::path& folder);

} // namespace uninstall_testing
