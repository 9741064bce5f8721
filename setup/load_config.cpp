// The image's load configuration. Its DependentLoadFlags send every DLL that the loader
// resolves for the program's imports, before the entry point runs, to System32 only, never to
// the program's own folder: a Downloads folder, or the temporary folder from which the
// uninstaller's elevated copy runs. The toolchain's runtime has no load configuration, and its
// linker does not fill the image's entry for one: the build points the entry at the section
// below (tools/set_load_config.py).
#include <windows.h>

#include <cstddef>

namespace {

// The toolchain's headers still call DependentLoadFlags "Reserved1"; their structure ends
// where the first 64-bit programs had it end, a size the system still reads.
constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 LoadConfiguration() {
    IMAGE_LOAD_CONFIG_DIRECTORY64 configuration{};
    configuration.Size = sizeof(configuration);
    configuration.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return configuration;
}
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, Reserved1) == 0x4E);

} // namespace

extern "C" __attribute__((section(".lcfg"), used))
const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = LoadConfiguration();
