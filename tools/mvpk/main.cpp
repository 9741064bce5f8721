// mvpk: makes, checks and lists MVPK packages (the package layout the setup program reads).
//   mvpk pack FOLDER METADATA-FILE OUTPUT [--block-size N]
//   mvpk verify PACKAGE
//   mvpk list PACKAGE
// Messages are UTF-8 on the standard streams, written as bytes.
#include "package/reader.h"
#include "tools/mvpk/console.h"
#include "tools/mvpk/mapped_file.h"
#include "tools/mvpk/pack.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace mvpk_tool;

int Usage() {
    Err("usage : mvpk pack DOSSIER FICHIER-METADONNEES SORTIE [--block-size N]\n"
        "        mvpk verify PAQUET\n"
        "        mvpk list PAQUET\n");
    return 2;
}

int Pack(const std::filesystem::path& folder, const std::filesystem::path& metadataFile,
         const std::filesystem::path& output, std::uint64_t blockSize) {
    const auto metadata = ReadMetadataFile(metadataFile);
    if (!metadata)
        return Fail(metadata.error());
    const auto packed = PackFolder(folder, *metadata, output, Display(output), blockSize);
    if (!packed)
        return Fail(packed.error());
    Out(std::to_string(packed->files) + " fichiers, " + std::to_string(packed->bytes) +
        " octets, " + std::to_string(packed->blocks) + " blocs, paquet de " +
        std::to_string(packed->packageSize) + " octets : " + Display(output) + "\n");
    return 0;
}

std::expected<MappedFile, int> OpenPackageFile(const std::filesystem::path& file) {
    auto mapped = MappedFile::Open(file);
    if (!mapped)
        return std::unexpected(Fail("Lecture impossible : " + Display(file)));
    return std::move(*mapped);
}

// Opens and validates a package, then hands the reader to use while the file stays mapped.
int WithPackage(const std::filesystem::path& file,
                const std::function<int(const mvpk::Reader&)>& use) {
    auto mapped = OpenPackageFile(file);
    if (!mapped)
        return mapped.error();
    auto reader = mvpk::Reader::Open(mapped->bytes());
    if (!reader)
        return Fail(reader.error());
    return use(*reader);
}

int Verify(const std::filesystem::path& file) {
    return WithPackage(file, [](const mvpk::Reader& reader) {
        // The SHA-256 provider and memory leave by exception; both are failures to report.
        try {
            if (auto extracted = reader.Extract({}, {}); !extracted)
                return Fail(extracted.error());
        } catch (const std::exception& e) {
            return Fail(e.what());
        }
        Out("Paquet intact : " + std::to_string(reader.entries().size()) + " fichiers, " +
            std::to_string(reader.totalSize()) + " octets, " +
            std::to_string(reader.blocks().size()) + " blocs\n");
        return 0;
    });
}

int List(const std::filesystem::path& file) {
    return WithPackage(file, [](const mvpk::Reader& reader) {
        std::string text;
        for (const mvpk::PackageEntry& entry : reader.entries()) {
            static constexpr char kHex[] = "0123456789abcdef";
            text += std::to_string(entry.size);
            text += ' ';
            for (std::uint8_t byte : entry.sha256) {
                text += kHex[byte >> 4];
                text += kHex[byte & 15];
            }
            text += ' ';
            text += entry.path;
            text += '\n';
        }
        Out(text);
        return 0;
    });
}

bool ParseSize(std::wstring_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    std::vector<std::wstring_view> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage();
    const std::wstring_view command = args[0];
    if (command == L"pack" && (args.size() == 4 || args.size() == 6)) {
        std::uint64_t blockSize = kDefaultBlockSize;
        if (args.size() == 6 && (args[4] != L"--block-size" || !ParseSize(args[5], blockSize) ||
                                 blockSize == 0 || blockSize > kMaxBlockSize)) {
            Err("Taille de bloc invalide (de 1 à " + std::to_string(kMaxBlockSize) + " octets)\n");
            return 2;
        }
        try {
            return Pack(args[1], args[2], args[3], blockSize);
        } catch (const std::exception& e) {
            return Fail(e.what());
        }
    }
    if (command == L"verify" && args.size() == 2)
        return Verify(args[1]);
    if (command == L"list" && args.size() == 2)
        return List(args[1]);
    return Usage();
}
