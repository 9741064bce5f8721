#include "install/registration.h"

#include "install/registry.h"
#include "setup/format.h"

#include <shlobj.h>

#include <chrono>

namespace {

// Today's date in UTC as YYYYMMDD, the form the list of installed programs sorts by. The
// program's formatter writes a day as it is, in UTC: {fmt} converted it to local time first,
// which west of UTC is still yesterday for part of the day.
std::wstring TodayUtc() {
    const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
    return txt::format(L"{:%Y%m%d}", today);
}

// An optional key: its default value is written when the key opens, a failure is ignored.
void SetOptionalDefault(HKEY hive, const std::wstring& subkey, const std::wstring& text) {
    if (auto key = CreateRegistryKey(hive, subkey))
        SetRegistryString(key->get(), nullptr, text);
}

} // namespace

std::expected<void, std::wstring>
RegisterProduct(Scope scope, const ProductInfo& info, const std::filesystem::path& installDir,
                const std::filesystem::path& exePath, const std::wstring& uninstallCommand,
                std::uint64_t totalSize, const std::optional<std::filesystem::path>& dataDir) {
    const HKEY hive = HiveFor(scope);
    const std::wstring& exe = exePath.native();

    {
        auto key = CreateRegistryKey(hive, UninstallKeyPath(info.product));
        if (!key)
            return std::unexpected(std::move(key.error()));
        const HKEY k = key->get();
        SetRegistryString(k, L"DisplayName", info.product);
        SetRegistryString(k, L"DisplayVersion", info.version);
        SetRegistryString(k, L"Publisher", info.publisher);
        SetRegistryString(k, L"URLInfoAbout", info.url);
        SetRegistryString(k, L"DisplayIcon", exe + L",0");
        SetRegistryString(k, L"InstallLocation", installDir.native());
        SetRegistryString(k, L"UninstallString", uninstallCommand);
        SetRegistryString(k, L"QuietUninstallString", uninstallCommand + L" /S");
        SetRegistryDword(k, L"NoModify", 1);
        SetRegistryDword(k, L"NoRepair", 1);
        // KiB, kept to the 32 bits the value holds.
        SetRegistryDword(k, L"EstimatedSize", static_cast<DWORD>((totalSize / 1024) & 0xFFFFFFFFu));
        SetRegistryString(k, L"InstallDate", TodayUtc());
    }

    {
        auto key = CreateRegistryKey(hive, info.registryKey + L"\\Install");
        if (!key)
            return std::unexpected(std::move(key.error()));
        const HKEY k = key->get();
        SetRegistryString(k, L"InstallDir", installDir.native());
        if (dataDir)
            SetRegistryString(k, L"DataDir", dataDir->native());
        SetRegistryString(k, L"Scope", scope == Scope::Machine ? L"machine" : L"user");
        SetRegistryString(k, L"Version", info.version);
    }

    const std::wstring classes = L"Software\\Classes\\";
    for (const FileType& type : info.fileTypes) {
        const std::wstring progId = MakeProgId(info.product, type.extension);
        {
            auto key = CreateRegistryKey(hive, classes + progId);
            if (!key)
                return std::unexpected(std::move(key.error()));
            SetRegistryString(key->get(), nullptr, type.description);
        }
        SetOptionalDefault(hive, classes + progId + L"\\DefaultIcon", L"\"" + exe + L"\",0");
        SetOptionalDefault(hive, classes + progId + L"\\shell\\open\\command",
                           L"\"" + exe + L"\" \"%1\"");
        SetOptionalDefault(hive, classes + type.extension, progId);
        if (auto key = CreateRegistryKey(hive, classes + type.extension + L"\\OpenWithProgids"))
            SetRegistryString(key->get(), progId.c_str(), L"");
    }

    if (!info.fileTypes.empty())
        ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return {};
}
