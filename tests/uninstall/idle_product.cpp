// Stands in for the product's executable: it runs until it is ended.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ::Sleep(INFINITE);
    return 0;
}
