// This program carries a METADATA and a PAYLOAD resource like a setup program, so the copy
// it makes of itself is a real uninstaller copy.
#include "install/uninstaller_copy.h"

#include "install/registry.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

// The bytes of a neutral RT_RCDATA resource of a module, or nothing when it has none.
std::optional<std::string> NeutralResource(HMODULE module, const wchar_t* name) {
    HRSRC found = ::FindResourceExW(module, RT_RCDATA, name, 0);
    if (found == nullptr)
        return std::nullopt;
    HGLOBAL loaded = ::LoadResource(module, found);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        return std::nullopt;
    return std::string(static_cast<const char*>(bytes), ::SizeofResource(module, found));
}

std::optional<std::string> FileResource(const std::filesystem::path& file, const wchar_t* name) {
    ModuleHandle module(::LoadLibraryExW(
        file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module)
        return std::nullopt;
    return NeutralResource(module.get(), name);
}

bool RunningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(CopyUninstaller, CopyKeepsItsMetadataAndStarts) {
    const auto metadata = NeutralResource(nullptr, L"METADATA");
    ASSERT_TRUE(metadata.has_value()) << "the test program lacks its own METADATA";
    ASSERT_TRUE(NeutralResource(nullptr, L"PAYLOAD").has_value());

    TempDir dir;
    const std::filesystem::path copy = dir / L"Uninstall.exe";
    // An earlier uninstaller that is not running is replaced.
    WriteFileBytes(copy, "ancienne copie");
    const auto result = CopyUninstaller(copy);
    ASSERT_TRUE(result.has_value()) << std::string(result.error().begin(), result.error().end());

    EXPECT_EQ(FileResource(copy, L"METADATA"), metadata);
    // The rewritten executable still runs: list the tests and exit normally.
    EXPECT_EQ(RunProcess(Quoted(copy) + L" --gtest_list_tests"), std::optional<DWORD>(0));
}

TEST(CopyUninstaller, CopyHasNoPayload) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine keeps a resource that an update removes";
    TempDir dir;
    const std::filesystem::path copy = dir / L"Uninstall.exe";
    ASSERT_TRUE(CopyUninstaller(copy).has_value());
    EXPECT_EQ(FileResource(copy, L"PAYLOAD"), std::nullopt);
    EXPECT_TRUE(FileResource(copy, L"METADATA").has_value());
}

TEST(CopyUninstaller, CopyFailureHasItsText) {
    TempDir dir;
    const auto result = CopyUninstaller(dir / L"absent\\Uninstall.exe");
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().starts_with(L"Copie du désinstalleur : "))
        << std::string(result.error().begin(), result.error().end());
    EXPECT_FALSE(std::filesystem::exists(dir / L"absent"));
}

} // namespace
