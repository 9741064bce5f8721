// The product that the end-to-end tests install: a windowless program that stays alive
// for a while, so that a test can have it running from its install folder.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ::Sleep(5 * 60 * 1000);
    return 0;
}
