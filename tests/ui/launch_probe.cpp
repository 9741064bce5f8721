// Stands in for a product's program: records that it was started, and its current folder,
// in "launched.txt" beside itself.
#include <windows.h>

#include <filesystem>
#include <fstream>

int main() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const auto text = std::filesystem::current_path().u8string();
    std::ofstream(std::filesystem::path(self).parent_path() / L"launched.txt", std::ios::binary)
        << std::string(text.begin(), text.end());
}
