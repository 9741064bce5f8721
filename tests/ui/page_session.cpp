#include "tests/ui/page_session.h"

#include "res/resource_ids.h"
#include "setup/handles.h"
#include "tests/support/test_support.h"

#include <commctrl.h>

#include <array>
#include <cstddef>

namespace page_testing {

const mvpk::Reader& EmptyPackage() {
    static const std::array<std::byte, 32> bytes = [] {
        std::array<std::byte, 32> header{};
        header[0] = std::byte{'M'};
        header[1] = std::byte{'V'};
        header[2] = std::byte{'P'};
        header[3] = std::byte{'K'};
        header[4] = std::byte{1}; // format version
        return header;
    }();
    static const mvpk::Reader reader = *mvpk::Reader::Open(bytes);
    return reader;
}

ProductInfo TestProduct(const std::wstring& prefix) {
    ProductInfo info;
    info.product = testing_support::UniqueName(prefix);
    info.version = L"2.0";
    info.publisher = L"Éditions Essai";
    info.exe = L"probe.exe";
    info.registryKey = L"Software\\LumenUiTest\\" + info.product;
    return info;
}

int ElevationStandIn::Relaunch(const SetupOptions& options, HWND owner) {
    std::unique_lock lock(mutex_);
    calls_.push_back({options, owner});
    changed_.notify_all();
    changed_.wait(lock, [&] { return answer_.has_value(); });
    const int code = *answer_;
    answer_.reset();
    return code;
}

void ElevationStandIn::Answer(int code) {
    std::lock_guard lock(mutex_);
    answer_ = code;
    changed_.notify_all();
}

std::size_t ElevationStandIn::CallCount() {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

ElevationStandIn::Call ElevationStandIn::LastCall() {
    std::lock_guard lock(mutex_);
    return calls_.back();
}

bool ElevationStandIn::WaitForCalls(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::Sleep(20);
    }
    return true;
}

namespace {

thread_local std::atomic<int>* shieldState = nullptr;
thread_local std::atomic<int>* syncsSeen = nullptr;

// Posted by Sync behind everything posted before it.
constexpr UINT kSyncMarker = WM_APP + 0x3F0;

// Sees every message the page's thread takes from its queue: by the time the marker is
// taken, everything posted before it has been handled.
LRESULT CALLBACK WatchQueue(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE && syncsSeen != nullptr &&
        reinterpret_cast<const MSG*>(lParam)->message == kSyncMarker)
        syncsSeen->fetch_add(1);
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// Sees every message sent on the page's thread; keeps the shield state sent to button 1.
LRESULT CALLBACK WatchShield(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && shieldState != nullptr) {
        const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (sent->message == BCM_SETSHIELD && ::GetDlgCtrlID(sent->hwnd) == IDOK)
            shieldState->store(sent->lParam != 0 ? 1 : 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

struct ThreadWindowSearch {
    HWND exclude;
    const wchar_t* caption; // null: the dialog whose caption starts with "Installation de "
    HWND found;
};

BOOL CALLBACK MatchThreadWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ThreadWindowSearch*>(parameter);
    if (window == search->exclude || !::IsWindowVisible(window))
        return TRUE;
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    const std::wstring_view caption(text);
    const bool matches = search->caption != nullptr ? caption == search->caption
                                                    : caption.starts_with(L"Installation de ");
    if (std::wstring_view(className) != L"#32770" || !matches)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindThreadWindow(DWORD threadId, HWND exclude, const wchar_t* caption) {
    ThreadWindowSearch search{exclude, caption, nullptr};
    ::EnumThreadWindows(threadId, MatchThreadWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

PageSession::PageSession(ProductInfo info, SetupOptions options, bool elevated,
                         ElevationStandIn* prompt, const mvpk::Reader& reader,
                         SetupWindowCalls calls)
    : shield_(std::make_shared<std::atomic<int>>(-1)),
      syncs_(std::make_shared<std::atomic<int>>(0)), prompt_(prompt) {
    calls.isElevated = [elevated] {
        return elevated;
    };
    if (prompt != nullptr)
        calls.relaunchElevated = [prompt](const SetupOptions& o, HWND owner) {
            return prompt->Relaunch(o, owner);
        };
    window_ = std::make_unique<SetupWindow>(&reader, std::move(info), std::move(options),
                                            std::move(calls));
    result_ = resultPromise_.get_future();
    thread_ = std::thread([this, shield = shield_, syncs = syncs_] {
        // Like the program's main thread: a COM apartment, for the folder picker.
        ComApartment apartment;
        shieldState = shield.get();
        syncsSeen = syncs.get();
        HHOOK hook =
            ::SetWindowsHookExW(WH_CALLWNDPROC, WatchShield, nullptr, ::GetCurrentThreadId());
        HHOOK queueHook =
            ::SetWindowsHookExW(WH_GETMESSAGE, WatchQueue, nullptr, ::GetCurrentThreadId());
        threadId_ = ::GetCurrentThreadId();
        const int result = window_->Run(::GetModuleHandleW(nullptr));
        if (hook != nullptr)
            ::UnhookWindowsHookEx(hook);
        if (queueHook != nullptr)
            ::UnhookWindowsHookEx(queueHook);
        shieldState = nullptr;
        syncsSeen = nullptr;
        resultPromise_.set_value(result);
    });
    WaitUntil([&] {
        if (result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            return true;
        page_ = threadId_ != 0 ? FindThreadWindow(threadId_, nullptr, nullptr) : nullptr;
        return page_ != nullptr;
    });
}

PageSession::~PageSession() {
    // Leave nothing waiting: release a pending relaunch, dismiss message boxes, then cancel
    // or finish until the page's thread has ended.
    for (int round = 0; round < 200 && result_.valid() && !finalResult_ &&
                        result_.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready;
         ++round) {
        if (prompt_ != nullptr)
            prompt_->Answer(1603);
        if (HWND box = FindThreadWindow(threadId_, page_, L"Installation"))
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        if (page_ != nullptr)
            ::PostMessageW(page_, WM_COMMAND, IDCANCEL, 0);
        result_.wait_for(std::chrono::milliseconds(100));
    }
    if (thread_.joinable())
        thread_.join();
}

std::wstring PageSession::Text(int id) const {
    wchar_t text[2048] = {};
    ::GetDlgItemTextW(page_, id, text, 2048);
    return text;
}

std::wstring PageSession::Caption() const {
    wchar_t text[512] = {};
    ::GetWindowTextW(page_, text, 512);
    return text;
}

bool PageSession::Enabled(int id) const {
    return ::IsWindowEnabled(::GetDlgItem(page_, id)) != FALSE;
}

bool PageSession::Visible(int id) const {
    return ::IsWindowVisible(::GetDlgItem(page_, id)) != FALSE;
}

bool PageSession::Checked(int id) const {
    return ::IsDlgButtonChecked(page_, id) == BST_CHECKED;
}

int PageSession::ProgressPos() const {
    return static_cast<int>(::SendDlgItemMessageW(page_, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

void PageSession::Click(int id) const {
    ::PostMessageW(::GetDlgItem(page_, id), BM_CLICK, 0, 0);
}

void PageSession::Command(int id) const {
    ::PostMessageW(page_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(page_, id)));
}

void PageSession::Post(UINT message, WPARAM wParam, LPARAM lParam) const {
    ::PostMessageW(page_, message, wParam, lParam);
}

void PageSession::Sync() const {
    // A sent message would be handled before the posted ones: a posted marker comes after them.
    const int before = syncs_->load();
    ::PostMessageW(page_, kSyncMarker, 0, 0);
    WaitUntil([&] { return syncs_->load() > before; }, std::chrono::seconds(10));
}

void PageSession::TypeFolder(const std::wstring& folder) const {
    ::SetDlgItemTextW(page_, IDC_FOLDER, folder.c_str());
}

HWND PageSession::WaitForWindow(const wchar_t* caption, std::chrono::milliseconds timeout) const {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindThreadWindow(threadId_, page_, caption)) != nullptr; },
              timeout);
    return found;
}

std::optional<int> PageSession::WaitForResult(std::chrono::milliseconds timeout) {
    if (finalResult_)
        return finalResult_;
    if (result_.wait_for(timeout) != std::future_status::ready)
        return std::nullopt;
    finalResult_ = result_.get();
    return finalResult_;
}

ScratchKey::ScratchKey(HKEY hive, std::wstring path) : hive_(hive), path_(std::move(path)) {
    ::RegDeleteTreeW(hive_, path_.c_str());
}

ScratchKey::~ScratchKey() {
    ::RegDeleteTreeW(hive_, path_.c_str());
}

void ScratchKey::SetString(const wchar_t* name, const std::wstring& value) const {
    KeyHandle key;
    ::RegCreateKeyExW(hive_, path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr);
    ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace page_testing
