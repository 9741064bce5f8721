// Pictures of a window as the display shows it, for a person to look at.
#pragma once

#include <windows.h>

#include <filesystem>

// Copies the window's area of the screen into a PNG file (its folder is created). Needs a
// COM apartment on the calling thread. False when any step fails.
bool SaveWindowPng(HWND window, const std::filesystem::path& file);
