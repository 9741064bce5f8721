#include "tools/mvpk/build_setup.h"

#include "package/windows_error.h"
#include "setup/handles.h"
#include "setup/metadata.h"
#include "setup/text.h"
#include "tools/mvpk/console.h"
#include "tools/mvpk/mapped_file.h"
#include "tools/mvpk/metadata_rules.h"
#include "tools/mvpk/output_check.h"
#include "tools/mvpk/pack.h"
#include "tools/mvpk/version_resource.h"

#include <windows.h>
#include <imagehlp.h>

#include <climits>
#include <system_error>

namespace mvpk_tool {

namespace {

using Failure = std::unexpected<std::string>;

// Packages this large take long enough to embed that the step is announced.
constexpr std::uint64_t kAnnounceThreshold = 64 << 20;

// Removes the files it names when it goes, unless they were kept.
class TemporaryFiles {
  public:
    explicit TemporaryFiles(std::initializer_list<std::filesystem::path> files) : files_(files) {}
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;
    ~TemporaryFiles() {
        for (const auto& file : files_) {
            std::error_code ignored;
            std::filesystem::remove(file, ignored);
        }
    }

  private:
    std::vector<std::filesystem::path> files_;
};

bool IsUtf8(std::string_view bytes) {
    return bytes.empty() || (bytes.size() <= INT_MAX &&
                             ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                   static_cast<int>(bytes.size()), nullptr, 0) > 0);
}

// The stub must be there and readable before a long packing run starts.
bool IsReadable(const std::filesystem::path& file) {
    return static_cast<bool>(
        UniqueHandle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

// The resources that make the stub a product's setup program, all language neutral.
std::expected<void, std::string> AddResources(const std::filesystem::path& exe,
                                              std::string_view metadata,
                                              std::span<const std::byte> package,
                                              const std::string& version) {
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    ResourceUpdate update(::BeginUpdateResourceW(exe.c_str(), FALSE));
    if (!update)
        return Failure(mvpk::WithWindowsError("BeginUpdateResource"));
    auto add = [&](const wchar_t* type, const wchar_t* name, const void* bytes, std::size_t size) {
        return ::UpdateResourceW(update.get(), type, name, neutral, const_cast<void*>(bytes),
                                 static_cast<DWORD>(size)) != FALSE;
    };
    if (!add(RT_RCDATA, L"METADATA", metadata.data(), metadata.size()) ||
        !add(RT_RCDATA, L"PAYLOAD", package.data(), package.size()) ||
        !add(RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), version.data(), version.size()))
        return Failure(mvpk::WithWindowsError("UpdateResource"));
    if (!update.Commit())
        return Failure(mvpk::WithWindowsError("EndUpdateResource"));
    return {};
}

// Updating the resources leaves the stub's checksum in the header. Windows itself checks it
// only on drivers, but tools that inspect a download report the mismatch. Set before any
// signing: a signature leaves the field out of its digest, and a signing tool may set it again.
std::expected<void, std::string> SetChecksum(const std::filesystem::path& exe) {
    DWORD stored = 0;
    DWORD computed = 0;
    if (::MapFileAndCheckSumW(exe.c_str(), &stored, &computed) != CHECKSUM_SUCCESS)
        return Failure("Somme de contrôle impossible à calculer");
    const UniqueHandle file(::CreateFileW(exe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    IMAGE_DOS_HEADER dos{};
    DWORD done = 0;
    if (!file || !::ReadFile(file.get(), &dos, sizeof(dos), &done, nullptr) ||
        done != sizeof(dos) ||
        ::SetFilePointer(
            file.get(),
            static_cast<LONG>(dos.e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader.CheckSum)),
            nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !::WriteFile(file.get(), &computed, sizeof(computed), &done, nullptr) ||
        done != sizeof(computed))
        return Failure(mvpk::WithWindowsError("Somme de contrôle"));
    return {};
}

// Runs the product team's signing command with the file's quoted path appended, and waits
// for it: it must sign the file in place and exit with 0.
std::expected<void, std::string> Sign(const std::wstring& command,
                                      const std::filesystem::path& file) {
    std::wstring line = command + L" \"" + file.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started))
        return Failure(mvpk::WithWindowsError("Commande de signature impossible à lancer") + " : " +
                       WideToUtf8(command));
    const UniqueHandle process = TakeStartedProcess(started);
    // Wine starts a Linux program without giving a process to wait for (seen with Wine 8).
    if (!process)
        return Failure("La commande de signature ne peut pas être attendue (programme Linux "
                       "sous Wine ?) : " +
                       WideToUtf8(command));
    DWORD code = 0;
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.get(), &code))
        return Failure(mvpk::WithWindowsError("Attente de la commande de signature"));
    if (code != 0)
        return Failure("La commande de signature a échoué (code " + std::to_string(code) +
                       ") : " + WideToUtf8(command));
    return {};
}

} // namespace

std::filesystem::path DefaultStub() {
    std::wstring self(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    return std::filesystem::path(self).parent_path() / L"setup_stub.exe";
}

std::expected<std::string, std::string> BuildSetup(const BuildSetupRequest& request) {
    const std::filesystem::path stub = request.stub.empty() ? DefaultStub() : request.stub;
    const std::string outputName = Display(request.output);

    auto metadata = ReadMetadataFile(request.metadataFile);
    if (!metadata)
        return Failure(std::move(metadata.error()));
    // The setup program reads the text as UTF-8; other bytes would become replacement
    // characters in the product's name, keys and folders.
    if (!IsUtf8(*metadata))
        return Failure("Métadonnées non codées en UTF-8 : " + Display(request.metadataFile));
    // Nothing is trimmed from a line: a carriage return would end the product's name, its
    // keys and its folder.
    if (metadata->find('\r') != std::string::npos)
        return Failure("Métadonnées avec des fins de ligne CR LF (LF seul attendu) : " +
                       Display(request.metadataFile));
    const MetadataMap map = ParseMetadata(*metadata);
    if (auto checked = CheckMetadata(map, Display(request.metadataFile)); !checked)
        return Failure(std::move(checked.error()));
    if (!IsReadable(stub))
        return Failure("Lecture impossible : " + Display(stub));
    auto files = ListFolder(request.folder);
    if (!files)
        return Failure(std::move(files.error()));
    if (auto found = CheckExe(map, *files); !found)
        return Failure(std::move(found.error()));
    const std::filesystem::path inputs[] = {request.metadataFile, stub};
    if (auto checked = CheckOutput(request.output, request.folder, inputs, *files); !checked)
        return Failure(std::move(checked.error()));

    const std::filesystem::path partial = request.output.native() + L".partial.exe";
    const std::filesystem::path package = request.output.native() + L".partial.mvpk";
    const TemporaryFiles temporary{partial, package};

    const auto packed =
        PackFiles(std::move(*files), *metadata, package, outputName, request.blockSize);
    if (!packed)
        return Failure(packed.error());
    if (packed->packageSize > UINT32_MAX)
        return Failure("Paquet trop grand pour un programme d'installation (" +
                       std::to_string(packed->packageSize) + " octets, 4294967295 au plus)");
    if (!::CopyFileW(stub.c_str(), partial.c_str(), FALSE))
        return Failure("Écriture impossible : " + outputName);
    if (packed->packageSize >= kAnnounceThreshold)
        Err("Écriture du programme d'installation...\n");
    {
        const auto mapped = MappedFile::Open(package);
        if (!mapped)
            return Failure("Lecture impossible : " + Display(package));
        const std::string version = VersionResource(LoadProductInfo(map));
        if (auto added = AddResources(partial, *metadata, mapped->bytes(), version); !added)
            return Failure(added.error() + " : " + outputName);
    }
    if (auto summed = SetChecksum(partial); !summed)
        return Failure(summed.error() + " : " + outputName);

    if (!request.signCommand.empty()) {
        if (auto signedFile = Sign(request.signCommand, partial); !signedFile)
            return Failure(std::move(signedFile.error()));
    }
    if (!::MoveFileExW(partial.c_str(), request.output.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Failure("Écriture impossible : " + outputName);

    std::error_code ignored;
    const auto size = std::filesystem::file_size(request.output, ignored);
    return std::to_string(packed->files) + " fichiers, " + std::to_string(packed->bytes) +
           " octets, " + std::to_string(packed->blocks) + " blocs, programme d'installation de " +
           std::to_string(size) + " octets : " + outputName;
}

} // namespace mvpk_tool
