#include "setup/silent_install.h"

#include "install/install.h"
#include "install/registry.h"
#include "setup/elevation.h"
#include "setup/handles.h"

ElevationCalls SystemElevationCalls() {
    return {IsProcessElevated, [](const SetupOptions& options) {
                return RelaunchElevated(options, nullptr);
            }};
}

int RunSilentInstall(const mvpk::Reader& reader, const ProductInfo& info,
                     const SetupOptions& options, const ElevationCalls& elevation) {
    const Scope scope = options.scope.value_or(Scope::Machine);
    if (scope == Scope::Machine && !elevation.isElevated())
        return elevation.relaunch(options);

    const auto existing = FindInstallLocation(info, scope);
    const auto defaultFolder = DefaultInstallFolder(info.product, scope);
    std::filesystem::path folder = defaultFolder;
    if (options.installDir) {
        folder = *options.installDir;
        // A relative folder would install below wherever the program happened to start.
        if (!folder.is_absolute())
            return 1603;
    } else if (existing) {
        folder = *existing;
    }

    ComApartment apartment;
    const auto result = Install(reader, info, scope, folder, [](double, const std::wstring&) {});
    return result ? 0 : 1603;
}
