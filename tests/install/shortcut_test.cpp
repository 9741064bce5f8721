#include "install/shortcut.h"

#include "install/registry.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <objidl.h>
#include <shlobj.h>

namespace {

using testing_support::TempDir;
using testing_support::WriteFileBytes;

struct LinkContents {
    std::wstring path, workingDir, description, icon;
    int iconIndex = -1;
};

LinkContents LoadLink(const std::filesystem::path& file) {
    LinkContents contents;
    ComPtr<IShellLinkW> link;
    EXPECT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IShellLinkW, link.put_void()));
    if (!link)
        return contents;
    ComPtr<IPersistFile> persist;
    EXPECT_HRESULT_SUCCEEDED(link.As(persist));
    EXPECT_HRESULT_SUCCEEDED(persist->Load(file.c_str(), STGM_READ));
    wchar_t buffer[1024];
    if (SUCCEEDED(link->GetPath(buffer, 1024, nullptr, SLGP_RAWPATH)))
        contents.path = buffer;
    if (SUCCEEDED(link->GetWorkingDirectory(buffer, 1024)))
        contents.workingDir = buffer;
    if (SUCCEEDED(link->GetDescription(buffer, 1024)))
        contents.description = buffer;
    if (SUCCEEDED(link->GetIconLocation(buffer, 1024, &contents.iconIndex)))
        contents.icon = buffer;
    return contents;
}

class Shortcut : public ::testing::Test {
  protected:
    ComApartment apartment;
    TempDir dir;
};

TEST_F(Shortcut, LoadsBackWithTargetFolderDescriptionAndIcon) {
    const std::filesystem::path target = dir / L"Programme été\\Lumen.exe";
    WriteFileBytes(target, "MZ");
    const std::filesystem::path link = dir / L"Lumen.lnk";
    ProductInfo info;
    info.product = L"Lumen Première";
    ASSERT_TRUE(CreateShortcut(link, target, info).has_value());

    LinkContents contents = LoadLink(link);
    EXPECT_EQ(contents.path, target.native());
    EXPECT_EQ(contents.workingDir, (dir / L"Programme été").native());
    EXPECT_EQ(contents.description, L"Lumen Première");
    EXPECT_EQ(contents.icon, target.native());
    EXPECT_EQ(contents.iconIndex, 0);

    // A second installation replaces the link.
    info.product = L"Lumen Seconde";
    ASSERT_TRUE(CreateShortcut(link, target, info).has_value());
    EXPECT_EQ(LoadLink(link).description, L"Lumen Seconde");
}

TEST_F(Shortcut, FailuresNameTheShortcut) {
    const std::filesystem::path target = dir / L"Lumen.exe";
    WriteFileBytes(target, "MZ");
    ProductInfo info;

    const std::filesystem::path missing = dir / L"absent\\Lumen.lnk";
    const auto unsaved = CreateShortcut(missing, target, info);
    ASSERT_FALSE(unsaved.has_value());
    EXPECT_TRUE(unsaved.error().starts_with(L"Création du raccourci " + missing.native() + L" : "))
        << std::string(unsaved.error().begin(), unsaved.error().end());
    EXPECT_FALSE(std::filesystem::exists(missing));

    // An unresolved Programs folder leaves a bare name: refused rather than written into
    // the current folder.
    const auto relative = CreateShortcut(L"Lumen.lnk", target, info);
    ASSERT_FALSE(relative.has_value());
    EXPECT_EQ(relative.error(),
              FormatWindowsError(L"Création du raccourci Lumen.lnk", ERROR_BAD_PATHNAME));
}

} // namespace
