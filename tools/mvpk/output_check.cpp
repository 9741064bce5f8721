#include "tools/mvpk/output_check.h"

#include "install/running_instance.h"
#include "tools/mvpk/console.h"

#include <algorithm>
#include <system_error>

namespace mvpk_tool {

std::expected<void, std::string> CheckOutput(const std::filesystem::path& output,
                                             const std::filesystem::path& folder,
                                             std::span<const std::filesystem::path> inputs,
                                             std::span<const SourceFile> files) {
    // Windows takes ".." away by name before it follows any link, as absolute() does.
    std::error_code error;
    std::filesystem::path above = std::filesystem::absolute(output, error);
    if (error)
        above = output;
    while (true) {
        if (IsSameFile(above, folder))
            return std::unexpected("La sortie est dans le dossier empaqueté : " + Display(output));
        if (!above.has_relative_path())
            break;
        above = above.parent_path();
    }
    if (!std::filesystem::exists(output, error))
        return {};
    const auto isOutput = [&](const std::filesystem::path& input) {
        return IsSameFile(output, input);
    };
    if (std::ranges::any_of(inputs, isOutput) ||
        std::ranges::any_of(files, isOutput, &SourceFile::full))
        return std::unexpected("La sortie est un fichier d'entrée : " + Display(output));
    return {};
}

} // namespace mvpk_tool
