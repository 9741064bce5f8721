#include "setup/silent_install.h"

#include "install/install.h"
#include "install/registry.h"
#include "setup/elevation.h"
#include "setup/handles.h"
#include "setup/standard_error.h"
#include "ui/wizard_rules.h"

ElevationCalls SystemElevationCalls() {
    return {IsProcessElevated, [](const SetupOptions& options) {
                return RelaunchElevated(options, nullptr);
            }};
}

int RunSilentInstall(const mvpk::Reader& reader, const ProductInfo& info,
                     const SetupOptions& options, const ElevationCalls& elevation) {
    const Scope scope = options.scope.value_or(Scope::Machine);
    // The elevated copy cannot be given this process's standard error: only its exit code
    // comes back, and the reason is what the wizard would say of that code.
    if (scope == Scope::Machine && !elevation.isElevated()) {
        const int code = elevation.relaunch(options);
        if (code != 0)
            ReportOnStandardError(ElevatedCopyFailureText(code));
        return code;
    }

    const auto existing = FindInstallLocation(info, scope);
    const auto defaultFolder = DefaultInstallFolder(info.product, scope);
    std::filesystem::path folder = defaultFolder;
    if (options.installDir)
        folder = *options.installDir;
    else if (existing && !existing->empty()) // an empty record names no folder
        folder = *existing;
    // A relative folder (given, recorded, or the default when the known folder cannot be
    // resolved) would install below wherever the program happened to start.
    if (!folder.is_absolute()) {
        ReportOnStandardError(
            IncompleteFolderText(DefaultInstallFolder(info.product, Scope::Machine).native()));
        return 1603;
    }

    ComApartment apartment;
    const auto result = Install(reader, info, scope, folder, [](double, const std::wstring&) {});
    if (!result)
        ReportOnStandardError(result.error());
    return result ? 0 : 1603;
}
