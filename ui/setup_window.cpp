#include "ui/setup_window.h"

#include "install/registry.h"
#include "res/resource_ids.h"
#include "setup/elevation.h"
#include "setup/format.h"
#include "setup/handles.h"
#include "setup/paths.h"
#include "ui/install_worker.h"
#include "ui/wizard_rules.h"

#include <commctrl.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <system_error>
#include <vector>

bool SetupWindowCalls::IsProcessElevatedCall() {
    return IsProcessElevated();
}

int SetupWindowCalls::RelaunchElevatedCall(const SetupOptions& options, HWND owner) {
    return RelaunchElevated(options, owner);
}

std::jthread SetupWindowCalls::StartThreadCall(std::move_only_function<void()> body) {
    return std::jthread(std::move(body));
}

SetupWindow::SetupWindow(const mvpk::Reader* reader_, ProductInfo info_, SetupOptions options_,
                         SetupWindowCalls calls_)
    : reader(reader_), info(std::move(info_)), options(std::move(options_)),
      calls(std::move(calls_)) {}

int SetupWindow::Run(HINSTANCE instance) {
    return static_cast<int>(::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SETUP), nullptr,
                                              DialogProc, reinterpret_cast<LPARAM>(this)));
}

INT_PTR CALLBACK SetupWindow::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<SetupWindow*>(lParam);
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        self->hwnd = dialog;
        return self->OnInitDialog() ? TRUE : FALSE;
    }
    // Messages that come before WM_INITDIALOG (WM_SETFONT) find no object yet.
    auto* self = reinterpret_cast<SetupWindow*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr)
        return FALSE;

    switch (message) {
    case WM_COMMAND:
        return self->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_CLOSE:
        // The title bar's button and Alt+F4 obey the same rule as "Annuler".
        ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    case WM_SETUP_PROGRESS: {
        if (!self->busy)
            return TRUE;
        std::wstring status;
        {
            std::lock_guard lock(self->statusMutex);
            status = self->pendingStatus;
        }
        self->SetStatus(status);
        ::SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, wParam, 0);
        return TRUE;
    }
    case WM_SETUP_DONE: {
        // Only the page's own worker posts this, and only while the page is busy; any
        // other sender's lParam is not a text of ours.
        if (!self->busy)
            return TRUE;
        std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
        self->ShowFinished(wParam != 0, text ? *text : std::wstring());
        return TRUE;
    }
    case WM_SETUP_ELEVATED_DONE:
        if (self->busy)
            self->OnElevatedDone(static_cast<int>(static_cast<DWORD>(wParam)));
        return TRUE;
    default:
        return FALSE;
    }
}

bool SetupWindow::OnInitDialog() {
    const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(hwnd, GWLP_HINSTANCE));
    // Shared icons belong to the system's cache and are never destroyed by their user.
    const auto big =
        ::LoadImageW(instance, MAKEINTRESOURCEW(IDI_SETUP), IMAGE_ICON,
                     ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), LR_SHARED);
    const auto small =
        ::LoadImageW(instance, MAKEINTRESOURCEW(IDI_SETUP), IMAGE_ICON,
                     ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

    ::SetWindowTextW(hwnd, (L"Installation de " + info.product).c_str());
    ::SetDlgItemTextW(
        hwnd, IDC_HEADER,
        txt::format(L"{} {} - {}", info.product, info.version, info.publisher).c_str());
    ::SetDlgItemTextW(hwnd, IDC_LAUNCH,
                      (L"Lancer " + info.product + L" à la fin de l'installation").c_str());
    ::SendDlgItemMessageW(hwnd, IDC_PROGRESS, PBM_SETRANGE32, 0, 1000);
    ::CheckRadioButton(hwnd, IDC_ALL_USERS, IDC_CURRENT_USER,
                       options.scope == Scope::User ? IDC_CURRENT_USER : IDC_ALL_USERS);
    // Whatever the switches say: a page that runs elevated ("Run as administrator", or a
    // system without the prompt) would start the product with administrator rights, over a
    // data folder every user may write to. It offers no start.
    const bool mayLaunch = !options.elevated && !calls.isElevated();
    ::CheckDlgButton(hwnd, IDC_LAUNCH,
                     options.noLaunch || !mayLaunch ? BST_UNCHECKED : BST_CHECKED);
    if (options.installDir) {
        SetFolderText(*options.installDir);
        dirChosen = true;
    }
    RefreshTarget();

    if (!mayLaunch)
        ::ShowWindow(::GetDlgItem(hwnd, IDC_LAUNCH), SW_HIDE);
    // The copy started for the first page: it installs at once, and the first page decides
    // about starting the product.
    if (options.elevated)
        StartInstall();
    return true;
}

bool SetupWindow::OnCommand(int id, int code) {
    switch (id) {
    case IDOK:
        if (finished) {
            // The token decides, not /ELEVATED: the box may have been ticked by anyone.
            if (succeeded && !options.elevated && !calls.isElevated() &&
                ::IsDlgButtonChecked(hwnd, IDC_LAUNCH)) {
                const auto exe = JoinPath(installDir, info.exe);
                // Not reported: the installation itself succeeded.
                ::ShellExecuteW(nullptr, L"open", exe.c_str(), nullptr, installDir.c_str(),
                                SW_SHOWNORMAL);
            }
            ::EndDialog(hwnd, exitCode);
        } else if (!busy) {
            StartInstall();
        }
        return true;
    case IDCANCEL:
        if (!busy)
            ::EndDialog(hwnd, finished ? exitCode : 1223);
        return true;
    case IDC_ALL_USERS:
    case IDC_CURRENT_USER:
        if (code == BN_CLICKED)
            RefreshTarget();
        return true;
    case IDC_FOLDER:
        if (code == EN_CHANGE && !settingDirText)
            dirChosen = true;
        return true;
    case IDC_BROWSE:
        if (code == BN_CLICKED)
            BrowseForFolder();
        return true;
    default:
        return false;
    }
}

Scope SetupWindow::SelectedScope() const {
    return ::IsDlgButtonChecked(hwnd, IDC_CURRENT_USER) == BST_CHECKED ? Scope::User
                                                                       : Scope::Machine;
}

void SetupWindow::SetFolderText(const std::wstring& folder) {
    // The edit's change notice must not count as the user's choice.
    settingDirText = true;
    ::SetDlgItemTextW(hwnd, IDC_FOLDER, folder.c_str());
    settingDirText = false;
}

void SetupWindow::SetStatus(const std::wstring& text) {
    ::SetDlgItemTextW(hwnd, IDC_STATUS, text.c_str());
}

void SetupWindow::SetShield(bool on) {
    ::SendDlgItemMessageW(hwnd, IDOK, BCM_SETSHIELD, 0, on ? TRUE : FALSE);
}

void SetupWindow::RefreshTarget() {
    const Scope scope = SelectedScope();
    if (!dirChosen) {
        // An empty recorded folder names no installation.
        const auto existing = FindInstallLocation(info, scope);
        SetFolderText(existing && !existing->empty()
                          ? existing->native()
                          : DefaultInstallFolder(info.product, scope).native());
    }
    ShowExistingInstallation(scope);
    SetShield(scope == Scope::Machine && !calls.isElevated());
}

void SetupWindow::ShowExistingInstallation(Scope scope) {
    const auto installed =
        ReadRegistryString(HiveFor(scope), UninstallKeyPath(info.product), L"DisplayVersion");
    const auto texts = DescribeExistingInstallation(info.product, info.version, installed);
    SetStatus(texts.status);
    ::SetDlgItemTextW(hwnd, IDOK, texts.button.c_str());
}

void SetupWindow::BrowseForFolder() {
    ComPtr<IFileOpenDialog> picker;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(picker.put()))))
        return;
    FILEOPENDIALOGOPTIONS flags = 0;
    picker->GetOptions(&flags);
    picker->SetOptions(flags | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    picker->SetTitle(L"Dossier d'installation");
    if (FAILED(picker->Show(hwnd)))
        return;
    ComPtr<IShellItem> item;
    if (FAILED(picker->GetResult(item.put())))
        return;
    CoTaskMemory<wchar_t> path;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, path.put())) || path.get() == nullptr)
        return;
    SetFolderText(WithProductFolder(path.get(), info.product));
    dirChosen = true;
}

void SetupWindow::StartInstall() {
    // The whole text: a shortened folder would install somewhere the page never showed.
    std::vector<wchar_t> text(
        static_cast<std::size_t>(::GetWindowTextLengthW(::GetDlgItem(hwnd, IDC_FOLDER))) + 1);
    ::GetDlgItemTextW(hwnd, IDC_FOLDER, text.data(), static_cast<int>(text.size()));
    installDir = text.data();

    if (!IsCompleteInstallFolder(installDir)) {
        ::MessageBoxW(
            hwnd,
            IncompleteFolderText(DefaultInstallFolder(info.product, Scope::Machine).native())
                .c_str(),
            L"Installation", MB_OK | MB_ICONWARNING);
        return;
    }

    const Scope scope = SelectedScope();
    busy = true;
    SetControlsEnabled(false);

    if (scope == Scope::Machine && !calls.isElevated()) {
        SetStatus(L"Autorisation demandée à Windows...");
        auto args = std::make_unique<RelaunchThreadArgs>(RelaunchThreadArgs{this, options});
        args->options.silent = false;
        args->options.scope = Scope::Machine;
        args->options.noLaunch = true;
        args->options.installDir = installDir;
        ReplaceWorker([args = std::move(args)]() mutable { RunRelaunchThread(std::move(args)); });
    } else {
        auto args = std::make_unique<InstallThreadArgs>(InstallThreadArgs{this, scope});
        ReplaceWorker([args = std::move(args)]() mutable { RunInstallThread(std::move(args)); });
    }
}

void SetupWindow::ReplaceWorker(std::move_only_function<void()> body) {
    // One worker at a time: the previous one has posted its outcome and is ending.
    if (worker.joinable()) {
        worker.request_stop();
        worker.join();
    }
    try {
        worker = calls.startThread(std::move(body));
    } catch (const std::system_error&) {
        // Without a worker nothing would ever leave the busy state.
        busy = false;
        SetControlsEnabled(true);
        SetStatus(L"L'installation n'a pas pu démarrer : le système refuse de créer une "
                  L"tâche de fond. Réessayez.");
    }
}

void SetupWindow::SetControlsEnabled(bool enabled) {
    for (int id : {IDC_ALL_USERS, IDC_CURRENT_USER, IDC_FOLDER, IDC_BROWSE, IDCANCEL, IDOK})
        ::EnableWindow(::GetDlgItem(hwnd, id), enabled ? TRUE : FALSE);
}

void SetupWindow::OnElevatedDone(int code) {
    if (code == ERROR_CANCELLED) {
        busy = false;
        SetControlsEnabled(true);
        SetStatus(ElevatedCopyFailureText(code));
        return;
    }
    if (code == 0)
        ShowFinished(true, info.product + L" est installé.");
    else
        ShowFinished(false, ElevatedCopyFailureText(code));
}

void SetupWindow::ShowFinished(bool success, const std::wstring& text) {
    busy = false;
    finished = true;
    succeeded = success;
    exitCode = success ? 0 : 1603;

    SetStatus(text);
    ::SendDlgItemMessageW(hwnd, IDC_PROGRESS, PBM_SETPOS, success ? 1000 : 0, 0);
    ::SetDlgItemTextW(hwnd, IDOK, L"Terminer");
    SetShield(false);
    ::EnableWindow(::GetDlgItem(hwnd, IDOK), TRUE);
    ::EnableWindow(::GetDlgItem(hwnd, IDC_LAUNCH), success ? TRUE : FALSE);
    if (!success)
        ::CheckDlgButton(hwnd, IDC_LAUNCH, BST_UNCHECKED);
    ::ShowWindow(::GetDlgItem(hwnd, IDCANCEL), SW_HIDE);

    if (options.elevated && success) {
        ::EndDialog(hwnd, 0);
        return;
    }
    // Enter now means "Terminer".
    ::SendMessageW(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(hwnd, IDOK)), TRUE);
}
