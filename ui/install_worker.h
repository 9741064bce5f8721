// The page's background work: the installation itself, or the wait for the elevated copy
// that does it. These threads never touch a control; they post messages to the page.
#pragma once

#include "install/install.h"
#include "setup/command_line.h"
#include "ui/setup_window.h"

#include <windows.h>

#include <memory>
#include <string>

struct InstallThreadArgs {
    SetupWindow* window;
    Scope scope;
};

struct RelaunchThreadArgs {
    SetupWindow* window;
    SetupOptions options; // as the elevated copy should receive them
};

// Runs Install in its own COM apartment and posts WM_SETUP_DONE with the outcome text.
void RunInstallThread(std::unique_ptr<InstallThreadArgs> args);
// Waits for the elevated copy and posts WM_SETUP_ELEVATED_DONE with its exit code.
void RunRelaunchThread(std::unique_ptr<RelaunchThreadArgs> args);

// Hands the status text over through the page's pendingStatus and posts the position.
ProgressCallback MakeProgressCallback(SetupWindow* window);

// Posts a message the page must not miss. A full message queue refuses posts for a moment,
// so the post is tried again while the window exists. False when it could not be posted.
bool PostToPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Posts WM_SETUP_DONE; the text then belongs to the page. A text whose message cannot be
// posted (the window is gone) is freed here.
bool PostOutcome(HWND page, bool success, std::wstring text);
