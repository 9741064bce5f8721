// Runs the real setup page on a thread of its own, the way the program's main thread runs
// it, so that a test can drive it through its controls and messages and read what it shows.
#pragma once

#include "package/reader.h"
#include "ui/setup_window.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace page_testing {

// An empty package that opens: enough for pages that never get to extract anything.
const mvpk::Reader& EmptyPackage();

// A product of its own for one test: unique name, its own application key.
ProductInfo TestProduct(const std::wstring& prefix);

// Stands in for the elevation prompt and the elevated copy: records each relaunch and
// blocks it until the test answers with an exit code.
class ElevationStandIn {
  public:
    struct Call {
        SetupOptions options;
        HWND owner;
    };
    int Relaunch(const SetupOptions& options, HWND owner);
    void Answer(int code);
    std::size_t CallCount();
    Call LastCall();
    bool WaitForCalls(std::size_t count, std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::optional<int> answer_;
};

bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

class PageSession {
  public:
    // elevated: what the page is told about this process's elevation.
    PageSession(ProductInfo info, SetupOptions options, bool elevated,
                ElevationStandIn* prompt = nullptr, const mvpk::Reader& reader = EmptyPackage(),
                SetupWindowCalls calls = {});
    PageSession(const PageSession&) = delete;
    PageSession& operator=(const PageSession&) = delete;
    // Closes whatever is still open and joins the page's thread.
    ~PageSession();

    HWND page() const { return page_; }
    bool opened() const { return page_ != nullptr; }

    std::wstring Text(int id) const;
    std::wstring Caption() const;
    bool Enabled(int id) const;
    bool Visible(int id) const;
    bool Checked(int id) const;
    int ProgressPos() const;
    // The last shield state sent to the start button: -1 none yet, 0 off, 1 on.
    int Shield() const { return shield_->load(); }

    // Posted rather than sent: the page may answer with a modal message box.
    void Click(int id) const;
    void Command(int id) const;
    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    // Returns once the page has handled everything posted before.
    void Sync() const;
    void TypeFolder(const std::wstring& folder) const;

    // A dialog of the page's thread other than the page, such as a message box ("Installation").
    HWND WaitForWindow(const wchar_t* caption,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    HWND WaitForMessageBox(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return WaitForWindow(L"Installation", timeout);
    }

    // The dialog result, once the page has closed.
    std::optional<int> WaitForResult(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    std::unique_ptr<SetupWindow> window_;
    std::shared_ptr<std::atomic<int>> shield_;
    std::shared_ptr<std::atomic<int>> syncs_;
    ElevationStandIn* prompt_;
    std::atomic<DWORD> threadId_{0};
    std::promise<int> resultPromise_;
    std::future<int> result_;
    std::thread thread_;
    HWND page_ = nullptr;
    std::optional<int> finalResult_;
};

// Deletes a registry tree when made and again when destroyed.
class ScratchKey {
  public:
    ScratchKey(HKEY hive, std::wstring path);
    ~ScratchKey();
    void SetString(const wchar_t* name, const std::wstring& value) const;

  private:
    HKEY hive_;
    std::wstring path_;
};

} // namespace page_testing
