// The one-page setup wizard (dialog 100) and the object behind it.
#pragma once

#include "package/reader.h"
#include "setup/command_line.h"
#include "setup/metadata.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Posted by the background threads to the page.
inline constexpr UINT WM_SETUP_PROGRESS = WM_APP + 1;      // wParam: position 0 to 1000
inline constexpr UINT WM_SETUP_DONE = WM_APP + 2;          // wParam: success; lParam: std::wstring*
inline constexpr UINT WM_SETUP_ELEVATED_DONE = WM_APP + 3; // wParam: the copy's exit code

// What the page asks of the system about elevation and threads. The program always uses
// the defaults; tests replace them, since under Wine every process is elevated and the
// non-elevated behaviour (shield, elevated copy) could not be reached otherwise.
struct SetupWindowCalls {
    std::function<bool()> isElevated = IsProcessElevatedCall;
    std::function<int(const SetupOptions&, HWND)> relaunchElevated = RelaunchElevatedCall;
    std::function<std::jthread(std::move_only_function<void()>)> startThread = StartThreadCall;

    static bool IsProcessElevatedCall();
    static int RelaunchElevatedCall(const SetupOptions& options, HWND owner);
    static std::jthread StartThreadCall(std::move_only_function<void()> body);
};

struct InstallThreadArgs;
struct RelaunchThreadArgs;

class SetupWindow {
  public:
    SetupWindow(const mvpk::Reader* reader, ProductInfo info, SetupOptions options,
                SetupWindowCalls calls = {});
    SetupWindow(const SetupWindow&) = delete;
    SetupWindow& operator=(const SetupWindow&) = delete;

    // Runs the dialog modally; returns the dialog result that becomes the exit code (-1 when
    // the dialog cannot be created). The calling thread should be a COM apartment, for the
    // folder picker.
    int Run(HINSTANCE instance);

  private:
    // The background threads read the members that the page fixed before starting them.
    friend void RunInstallThread(std::unique_ptr<InstallThreadArgs> args);
    friend void RunRelaunchThread(std::unique_ptr<RelaunchThreadArgs> args);
    friend std::function<void(double, const std::wstring&)>
    MakeProgressCallback(SetupWindow* window);

    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    bool OnInitDialog();
    bool OnCommand(int id, int code);
    void OnElevatedDone(int code);

    void RefreshTarget();
    void ShowExistingInstallation(Scope scope);
    void BrowseForFolder();
    void StartInstall();
    void SetControlsEnabled(bool enabled);
    void ShowFinished(bool success, const std::wstring& text);

    Scope SelectedScope() const;
    void SetFolderText(const std::wstring& folder);
    void SetStatus(const std::wstring& text);
    void SetShield(bool on);
    void ReplaceWorker(std::move_only_function<void()> body);

    const mvpk::Reader* reader;
    ProductInfo info;
    SetupOptions options;
    SetupWindowCalls calls;
    HWND hwnd = nullptr;
    bool settingDirText = false;
    bool dirChosen = false;
    bool busy = false;
    bool finished = false;
    bool succeeded = false;
    int exitCode = 1223;
    std::wstring installDir;
    std::mutex statusMutex;
    std::wstring pendingStatus;
    // Last, so that it is joined before anything its thread reads is destroyed.
    std::jthread worker;
};
