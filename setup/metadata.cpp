#include "setup/metadata.h"

#include "setup/handles.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <knownfolders.h>
#include <shlobj.h>

MetadataMap ParseMetadata(std::string_view bytes) {
    MetadataMap map;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos)
            end = bytes.size();
        const std::string_view line = bytes.substr(pos, end - pos);
        // Nothing is trimmed: a carriage return or a byte-order mark stays in the text.
        if (const size_t equals = line.find('='); equals != std::string_view::npos)
            map[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
        pos = end + 1;
    }
    return map;
}

std::wstring GetMetadataValue(const MetadataMap& map, const std::string& key,
                              const std::wstring& fallback) {
    const auto found = map.find(key);
    return found != map.end() ? Utf8ToWide(found->second) : fallback;
}

namespace {

std::vector<FileType> ParseFileTypes(std::wstring_view value) {
    std::vector<FileType> types;
    size_t pos = 0;
    while (pos <= value.size()) {
        size_t end = value.find(L';', pos);
        if (end == std::wstring_view::npos)
            end = value.size();
        const std::wstring_view piece = value.substr(pos, end - pos);
        const size_t equals = piece.find(L'=');
        if (equals != std::wstring_view::npos && equals != 0)
            types.push_back(
                {std::wstring(piece.substr(0, equals)), std::wstring(piece.substr(equals + 1))});
        pos = end + 1;
    }
    return types;
}

} // namespace

ProductInfo LoadProductInfo(const MetadataMap& map) {
    ProductInfo info;
    info.product = GetMetadataValue(map, "Product", L"Application");
    info.version = GetMetadataValue(map, "Version", L"");
    info.publisher = GetMetadataValue(map, "Publisher", L"");
    info.url = GetMetadataValue(map, "Url", L"");
    info.exe = GetMetadataValue(map, "Exe", info.product + L".exe");
    info.registryKey = GetMetadataValue(map, "RegistryKey", L"Software\\Morvanti\\" + info.product);
    const auto dataDir = map.find("DataDir");
    info.hasDataDir = dataDir != map.end() && dataDir->second == "yes";
    info.fileTypes = ParseFileTypes(GetMetadataValue(map, "FileTypes", L""));
    return info;
}

std::filesystem::path KnownFolderPath(REFKNOWNFOLDERID id) {
    CoTaskMemory<wchar_t> buffer;
    const HRESULT hr = ::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, buffer.put());
    if (FAILED(hr) || buffer.get() == nullptr)
        return {};
    return std::filesystem::path(buffer.get());
}

std::filesystem::path DataDirectory(const std::wstring& product, Scope scope) {
    const auto base =
        KnownFolderPath(scope == Scope::User ? FOLDERID_LocalAppData : FOLDERID_ProgramData);
    return JoinPath(JoinPath(base, product), L"Data");
}

std::filesystem::path DefaultInstallFolder(const std::wstring& product, Scope scope) {
    std::filesystem::path base;
    if (scope == Scope::Machine) {
        base = KnownFolderPath(FOLDERID_ProgramFiles);
    } else {
        base = KnownFolderPath(FOLDERID_UserProgramFiles);
        // Some systems (Wine among them) do not know this folder; Windows places it in
        // the local application data folder under "Programs".
        if (base.empty()) {
            const auto local = KnownFolderPath(FOLDERID_LocalAppData);
            if (!local.empty())
                base = JoinPath(local, L"Programs");
        }
    }
    return JoinPath(base, product);
}
