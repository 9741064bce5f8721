// DLLs that are not mapped from the system folder whatever happens (Windows' known DLLs) are
// loaded from System32 only, at run time: imported, or loaded by name, they would first be
// looked up beside the program, which for an uninstaller copy is the user's temporary folder
// and for a setup program a Downloads folder.
#pragma once

#include "setup/handles.h"

#include <windows.h>

namespace mvpk {

inline ModuleHandle LoadSystemLibrary(const wchar_t* name) {
    return ModuleHandle(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// Sets out to the exported function name of module; false when it is missing.
template <class Fn> bool Resolve(HMODULE module, const char* name, Fn& out) {
    FARPROC proc = ::GetProcAddress(module, name);
    if (proc == nullptr)
        return false;
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    return true;
}

} // namespace mvpk
