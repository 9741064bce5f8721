// Waits for the number of seconds given as its argument (60 by default), then exits.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const int seconds = argc > 1 ? _wtoi(argv[1]) : 60;
    ::Sleep(static_cast<DWORD>(seconds > 0 ? seconds : 60) * 1000);
    return 0;
}
