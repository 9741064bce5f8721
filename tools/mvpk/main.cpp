// mvpk: makes, checks and lists MVPK packages (the package layout the setup program reads),
// and makes a product's setup program from a folder.
//   mvpk pack FOLDER METADATA-FILE OUTPUT [--block-size N]
//   mvpk build-setup FOLDER METADATA-FILE OUTPUT.exe [--block-size N] [--stub STUB.exe]
//                    [--sign-command "COMMAND"]
//   mvpk verify PACKAGE
//   mvpk list PACKAGE
// Messages are UTF-8 on the standard streams, written as bytes.
#include "package/reader.h"
#include "tools/mvpk/build_setup.h"
#include "tools/mvpk/console.h"
#include "tools/mvpk/mapped_file.h"
#include "tools/mvpk/output_check.h"
#include "tools/mvpk/pack.h"

#include <windows.h>

#include <cstdint>
#include <algorithm>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace mvpk_tool;

int Usage() {
    Err("usage : mvpk pack DOSSIER FICHIER-METADONNEES SORTIE [--block-size N]\n"
        "        mvpk build-setup DOSSIER FICHIER-METADONNEES SORTIE.exe [--block-size N]\n"
        "                         [--stub PROGRAMME.exe] [--sign-command \"COMMANDE\"]\n"
        "        mvpk verify PAQUET\n"
        "        mvpk list PAQUET\n");
    return 2;
}

int Pack(const std::filesystem::path& folder, const std::filesystem::path& metadataFile,
         const std::filesystem::path& output, std::uint64_t blockSize) {
    const auto metadata = ReadMetadataFile(metadataFile);
    if (!metadata)
        return Fail(metadata.error());
    auto files = ListFolder(folder);
    if (!files)
        return Fail(files.error());
    if (auto checked = CheckOutput(output, folder, std::span(&metadataFile, 1), *files); !checked)
        return Fail(checked.error());
    const auto packed = PackFiles(std::move(*files), *metadata, output, Display(output), blockSize);
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
        // The SHA-256 provider and memory leave by exception, caught with every other below.
        if (auto extracted = reader.Extract({}, {}); !extracted)
            return Fail(extracted.error());
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

// The options after a command's three paths: each name once, each followed by its value.
std::optional<std::vector<std::pair<std::wstring_view, std::wstring_view>>>
ParseOptions(std::span<const std::wstring_view> args,
             std::initializer_list<std::wstring_view> allowed) {
    std::vector<std::pair<std::wstring_view, std::wstring_view>> options;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size() ||
            std::find(allowed.begin(), allowed.end(), args[i]) == allowed.end())
            return std::nullopt;
        for (const auto& option : options)
            if (option.first == args[i])
                return std::nullopt;
        options.emplace_back(args[i], args[i + 1]);
    }
    return options;
}

// The options of pack and build-setup; nothing after a usage message (exit code 2).
struct CommandOptions {
    std::uint64_t blockSize = kDefaultBlockSize;
    std::wstring stub;
    std::wstring signCommand;
};

std::optional<CommandOptions> ReadOptions(std::span<const std::wstring_view> args,
                                          std::initializer_list<std::wstring_view> allowed) {
    const auto options = ParseOptions(args, allowed);
    if (!options) {
        Usage();
        return std::nullopt;
    }
    CommandOptions result;
    for (const auto& [name, value] : *options) {
        if (name == L"--block-size" &&
            (!ParseSize(value, result.blockSize) || result.blockSize == 0 ||
             result.blockSize > kMaxBlockSize)) {
            Err("Taille de bloc invalide (de 1 à " + std::to_string(kMaxBlockSize) + " octets)\n");
            return std::nullopt;
        }
        if (name == L"--stub")
            result.stub = value;
        if (name == L"--sign-command")
            result.signCommand = value;
    }
    return result;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    const std::vector<std::wstring_view> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage();
    const std::wstring_view command = args[0];
    // Failures that leave by exception (memory, the SHA-256 provider) end with their message.
    const auto extra = std::span(args).subspan(std::min<std::size_t>(args.size(), 4));
    try {
        if (command == L"pack" && args.size() >= 4) {
            const auto options = ReadOptions(extra, {L"--block-size"});
            return options ? Pack(args[1], args[2], args[3], options->blockSize) : 2;
        }
        if (command == L"build-setup" && args.size() >= 4) {
            const auto options =
                ReadOptions(extra, {L"--block-size", L"--stub", L"--sign-command"});
            if (!options)
                return 2;
            const auto built = BuildSetup({args[1], args[2], args[3], options->blockSize,
                                           options->stub, options->signCommand});
            if (!built)
                return Fail(built.error());
            Out(*built + "\n");
            return 0;
        }
        if (command == L"verify" && args.size() == 2)
            return Verify(args[1]);
        if (command == L"list" && args.size() == 2)
            return List(args[1]);
    } catch (const std::exception& e) {
        return Fail(ExceptionText(e));
    }
    return Usage();
}
