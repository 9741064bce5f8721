// Process entry: reads the switches and the product description, then runs exactly one of
// the stop for an unusable description or a damaged package, the uninstaller, the silent
// installation or the wizard.
#include "package/reader.h"
#include "setup/command_line.h"
#include "setup/embedded_resource.h"
#include "setup/handles.h"
#include "setup/metadata.h"
#include "setup/own_program.h"
#include "setup/paths.h"
#include "setup/silent_install.h"
#include "setup/standard_error.h"
#include "setup/text.h"
#include "ui/setup_window.h"
#include "uninstall/uninstall_flow.h"

#include <windows.h>
#include <commctrl.h>

#include <optional>
#include <string_view>

namespace {

int ShowDamaged(const SetupOptions& options, const std::wstring& reason) {
    const std::wstring text =
        L"Ce programme d'installation est incomplet ou endommagé :\n" + reason;
    if (options.silent)
        ReportOnStandardError(text);
    else
        ::MessageBoxW(nullptr, text.c_str(), L"Installation", MB_OK | MB_ICONERROR);
    return 1603;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything can load a DLL: none is ever taken from the program's own folder (a
    // Downloads folder, or the temporary folder of the uninstaller's elevated copy) or from
    // the current folder, only from System32. What the loader resolved before this call,
    // the image's load configuration already sent to System32 (setup/load_config.cpp).
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Held from now on, before anyone can give the program's name to another file; every copy
    // of the program is made from it.
    OwnProgramFile();

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    const SetupOptions options = ParseCommandLine();
    const ProductInfo info = [] {
        const auto bytes = EmbeddedResource(L"METADATA");
        return LoadProductInfo(ParseMetadata(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    }();

    // The name is the last element of the install folder and of the data folder, the name of
    // the uninstall entry and of the shortcut, and the first part of every ProgID. One that
    // names no folder of its own (empty, "..", CON) would make them the known folder itself,
    // the list of every program's entries or the extension's own key: refused before anything
    // is looked at or changed, installing and uninstalling alike.
    if (!IsFolderName(info.product))
        return ShowDamaged(options, L"Nom de produit inutilisable comme nom de dossier : « " +
                                        info.product + L" »");

    if (options.uninstall)
        return RunUninstall(options, info);

    auto reader = mvpk::Reader::Open(EmbeddedResource(L"PAYLOAD"));
    if (!reader)
        return ShowDamaged(options, Utf8ToWide(reader.error()));

    if (options.silent)
        return RunSilentInstall(*reader, info, options);

    // The apartment ends before the window is destroyed; destroying the window joins its
    // worker, which keeps an apartment of its own.
    auto apartment = std::make_optional<ComApartment>();
    SetupWindow window(&*reader, info, options);
    const int result = window.Run(instance);
    apartment.reset();
    return result;
}
