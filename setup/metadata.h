// The product description carried in the "METADATA" resource, and the folders that follow
// from it.
#pragma once

#include "setup/command_line.h"

#include <windows.h>
#include <shtypes.h>

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Raw UTF-8 keys and values, ordered by plain byte comparison.
using MetadataMap = std::map<std::string, std::string>;

struct FileType {
    std::wstring extension; // with its leading dot, as written
    std::wstring description;

    bool operator==(const FileType&) const = default;
};

struct ProductInfo {
    std::wstring product = L"Application";
    std::wstring version;
    std::wstring publisher;
    std::wstring url;
    std::wstring exe = L"Application.exe";
    std::wstring registryKey = L"Software\\Morvanti\\Application";
    bool hasDataDir = false;
    std::vector<FileType> fileTypes;
};

MetadataMap ParseMetadata(std::string_view bytes);
std::wstring GetMetadataValue(const MetadataMap& map, const std::string& key,
                              const std::wstring& fallback);
ProductInfo LoadProductInfo(const MetadataMap& map);

// The shell's known folder (created when missing), or an empty path when the lookup fails.
std::filesystem::path KnownFolderPath(REFKNOWNFOLDERID id);
// Where the product keeps its data for a scope: LocalAppData or ProgramData, then the
// product name, then "Data".
std::filesystem::path DataDirectory(const std::wstring& product, Scope scope);
// The folder a new installation goes to when nothing else names one: the scope's program
// folder joined with the product name.
std::filesystem::path DefaultInstallFolder(const std::wstring& product, Scope scope);
