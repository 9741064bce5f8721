#include "ui/install_worker.h"

#include "setup/handles.h"
#include "ui/wizard_rules.h"

#include <filesystem>

namespace {

// Long enough for a busy page to drain its queue, short enough not to hang a thread whose
// page will never answer.
constexpr int kPostAttempts = 500;
constexpr DWORD kPostRetryMs = 20;

} // namespace

bool PostToPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    for (int attempt = 0; attempt < kPostAttempts; ++attempt) {
        if (::PostMessageW(page, message, wParam, lParam))
            return true;
        if (!::IsWindow(page))
            return false;
        ::Sleep(kPostRetryMs);
    }
    return false;
}

bool PostOutcome(HWND page, bool success, std::wstring text) {
    auto owned = std::make_unique<std::wstring>(std::move(text));
    if (!PostToPage(page, WM_SETUP_DONE, success ? 1 : 0, reinterpret_cast<LPARAM>(owned.get())))
        return false;
    owned.release(); // the page owns it now
    return true;
}

ProgressCallback MakeProgressCallback(SetupWindow* window) {
    return [window](double fraction, const std::wstring& status) {
        {
            std::lock_guard lock(window->statusMutex);
            window->pendingStatus = status;
        }
        ::PostMessageW(window->hwnd, WM_SETUP_PROGRESS, ProgressPosition(fraction), 0);
    };
}

void RunInstallThread(std::unique_ptr<InstallThreadArgs> args) {
    SetupWindow* window = args->window;
    // Declared first, so the apartment ends after the outcome has been posted.
    ComApartment apartment;
    std::expected<void, std::wstring> result;
    try {
        result = Install(*window->reader, window->info, args->scope,
                         std::filesystem::path(window->installDir), MakeProgressCallback(window));
    } catch (...) {
        // Anything escaping a thread's body would end the process.
        result = std::unexpected(CurrentExceptionText());
    }
    if (result)
        PostOutcome(window->hwnd, true, window->info.product + L" est installé.");
    else
        PostOutcome(window->hwnd, false, std::move(result.error()));
}

void RunRelaunchThread(std::unique_ptr<RelaunchThreadArgs> args) {
    SetupWindow* window = args->window;
    int code = 1603;
    try {
        code = window->calls.relaunchElevated(args->options, window->hwnd);
    } catch (...) {
        code = 1603;
    }
    PostToPage(window->hwnd, WM_SETUP_ELEVATED_DONE, static_cast<WPARAM>(static_cast<DWORD>(code)),
               0);
}
