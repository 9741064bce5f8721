// Owners for every kind of system resource the program holds. Each holder releases its
// resource exactly once, on every way out of the scope that owns it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <memory>
#include <utility>

// Generic move-only owner: Traits names the raw type, its empty value and how to release it.
template <class Traits> class UniqueResource {
  public:
    using Raw = typename Traits::Raw;

    UniqueResource() = default;
    explicit UniqueResource(Raw raw) : raw_(raw) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : raw_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    Raw get() const { return raw_; }
    explicit operator bool() const { return Traits::IsValid(raw_); }

    // For out-parameters: releases what is held and hands out the slot.
    Raw* put() {
        reset();
        return &raw_;
    }
    Raw release() { return std::exchange(raw_, Traits::Empty()); }
    void reset(Raw raw = Traits::Empty()) {
        Raw old = std::exchange(raw_, raw);
        if (Traits::IsValid(old))
            Traits::Release(old);
    }

  private:
    Raw raw_ = Traits::Empty();
};

struct KernelHandleTraits {
    using Raw = HANDLE;
    static Raw Empty() { return nullptr; }
    // Some calls report failure with null, others with INVALID_HANDLE_VALUE.
    static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Release(Raw h) { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// Closes a file now and says whether the system took the close: on some file systems (a
// share's write-behind) the last writes can still fail there.
inline bool CloseChecked(UniqueHandle& handle) {
    const HANDLE raw = handle.release();
    return !KernelHandleTraits::IsValid(raw) || ::CloseHandle(raw) != FALSE;
}

// The process a successful CreateProcessW started, its thread's handle closed at once. When
// Wine starts a Linux program it gives no process handle and leaves in the thread's field a
// value that is no handle of this start, but may be another handle of this process: without a
// process, that field is left alone.
inline UniqueHandle TakeStartedProcess(const PROCESS_INFORMATION& started) {
    if (started.hProcess == nullptr)
        return UniqueHandle();
    const UniqueHandle thread(started.hThread);
    return UniqueHandle(started.hProcess);
}

struct FindHandleTraits {
    using Raw = HANDLE;
    static Raw Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Release(Raw h) { ::FindClose(h); }
};
using FindHandle = UniqueResource<FindHandleTraits>;

struct RegistryKeyTraits {
    using Raw = HKEY;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw k) { return k != nullptr; }
    static void Release(Raw k) { ::RegCloseKey(k); }
};
// An open registry key; the predefined hives are never held by it.
using KeyHandle = UniqueResource<RegistryKeyTraits>;

struct ModuleTraits {
    using Raw = HMODULE;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw m) { return m != nullptr; }
    static void Release(Raw m) { ::FreeLibrary(m); }
};
using ModuleHandle = UniqueResource<ModuleTraits>;

// A view of a file mapping, from MapViewOfFile.
struct MappedViewTraits {
    using Raw = void*;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw view) { return view != nullptr; }
    static void Release(Raw view) { ::UnmapViewOfFile(view); }
};
using MappedView = UniqueResource<MappedViewTraits>;

// Memory the system allocated with LocalAlloc: FormatMessageW buffers, security
// descriptors and ACLs from the security calls.
struct LocalMemoryTraits {
    using Raw = HLOCAL;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw p) { return p != nullptr; }
    static void Release(Raw p) { ::LocalFree(p); }
};
using LocalMemory = UniqueResource<LocalMemoryTraits>;

// A hook on a thread's window messages (SetWindowsHookExW).
struct WindowsHookTraits {
    using Raw = HHOOK;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Release(Raw h) { ::UnhookWindowsHookEx(h); }
};
using WindowsHook = UniqueResource<WindowsHookTraits>;

// A handle released by a function resolved at run time from a DLL of the system folder (the
// Compression API, CNG): release is that function, or a small callable around it.
template <class Handle, class Release> class ResolvedHandle {
  public:
    ResolvedHandle() = default;
    ResolvedHandle(Handle handle, Release release) : handle_(handle), release_(release) {}
    ResolvedHandle(const ResolvedHandle&) = delete;
    ResolvedHandle& operator=(const ResolvedHandle&) = delete;
    ResolvedHandle(ResolvedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), release_(other.release_) {}
    ResolvedHandle& operator=(ResolvedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            release_ = other.release_;
        }
        return *this;
    }
    ~ResolvedHandle() { reset(); }
    Handle get() const { return handle_; }
    void reset() {
        if (handle_ != nullptr)
            release_(std::exchange(handle_, nullptr));
    }

  private:
    Handle handle_ = nullptr;
    Release release_{};
};

// A resource update begun with BeginUpdateResourceW. Unless committed, it is ended with
// discard, so a failed step never leaves a half-written executable behind.
class ResourceUpdate {
  public:
    explicit ResourceUpdate(HANDLE update) : update_(update) {}
    ResourceUpdate(const ResourceUpdate&) = delete;
    ResourceUpdate& operator=(const ResourceUpdate&) = delete;
    ~ResourceUpdate() {
        if (update_ != nullptr)
            ::EndUpdateResourceW(update_, TRUE);
    }
    HANDLE get() const { return update_; }
    explicit operator bool() const { return update_ != nullptr; }
    // Writes the changes; the holder is empty afterwards whatever the outcome.
    bool Commit() { return ::EndUpdateResourceW(std::exchange(update_, nullptr), FALSE) != FALSE; }

  private:
    HANDLE update_;
};

// Memory returned by the shell and COM (SHGetKnownFolderPath, IShellItem names).
template <class T> class CoTaskMemory {
  public:
    CoTaskMemory() = default;
    CoTaskMemory(const CoTaskMemory&) = delete;
    CoTaskMemory& operator=(const CoTaskMemory&) = delete;
    ~CoTaskMemory() { ::CoTaskMemFree(ptr_); }
    T* get() const { return ptr_; }
    T** put() {
        ::CoTaskMemFree(std::exchange(ptr_, nullptr));
        return &ptr_;
    }

  private:
    T* ptr_ = nullptr;
};

// A COM interface pointer holding one reference.
template <class T> class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~ComPtr() { reset(); }
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    T** put() {
        reset();
        return &ptr_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (ptr_ != nullptr)
            std::exchange(ptr_, nullptr)->Release();
    }
    // QueryInterface into another holder.
    template <class U> HRESULT As(ComPtr<U>& out) const {
        return ptr_->QueryInterface(__uuidof(U), out.put_void());
    }

  private:
    T* ptr_ = nullptr;
};

// A single-threaded COM apartment for the lifetime of the scope. The result of
// CoInitializeEx is not an error for the caller; only a successful call is balanced.
class ComApartment {
  public:
    ComApartment() : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (initialized_)
            ::CoUninitialize();
    }

  private:
    bool initialized_;
};

// The attribute list of an extended process start (InitializeProcThreadAttributeList), for a
// given number of attributes. Empty (get() is null) when it could not be made.
class ProcessAttributeList {
  public:
    explicit ProcessAttributeList(DWORD count) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        buffer_ = std::make_unique<std::byte[]>(size);
        if (!::InitializeProcThreadAttributeList(get(), count, 0, &size))
            buffer_.reset();
    }
    ProcessAttributeList(const ProcessAttributeList&) = delete;
    ProcessAttributeList& operator=(const ProcessAttributeList&) = delete;
    ~ProcessAttributeList() {
        if (buffer_)
            ::DeleteProcThreadAttributeList(get());
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
    }

  private:
    std::unique_ptr<std::byte[]> buffer_;
};

// GDI objects (bitmaps, pens, brushes) from the Create* calls.
struct GdiObjectTraits {
    using Raw = HGDIOBJ;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw o) { return o != nullptr; }
    static void Release(Raw o) { ::DeleteObject(o); }
};
using GdiObject = UniqueResource<GdiObjectTraits>;

// A memory device context from CreateCompatibleDC.
struct MemoryDcTraits {
    using Raw = HDC;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw dc) { return dc != nullptr; }
    static void Release(Raw dc) { ::DeleteDC(dc); }
};
using MemoryDc = UniqueResource<MemoryDcTraits>;

// The whole screen's device context, from GetDC with no window.
struct ScreenDcTraits {
    using Raw = HDC;
    static Raw Empty() { return nullptr; }
    static bool IsValid(Raw dc) { return dc != nullptr; }
    static void Release(Raw dc) { ::ReleaseDC(nullptr, dc); }
};
using ScreenDc = UniqueResource<ScreenDcTraits>;
