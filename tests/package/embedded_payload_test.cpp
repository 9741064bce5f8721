// add_setup_executable(... PAYLOAD_FOLDER ...): the package made at build time by
// `mvpk build-setup` is embedded in the setup program and extracts to the folder's bytes.
#include "package/reader.h"
#include "tests/package/package_builder.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

using namespace package_testing;
using testing_support::BinDir;
using testing_support::ReadFileBytes;
using testing_support::ResourceBytes;
using testing_support::TempDir;
namespace fs = std::filesystem;

TEST(EmbeddedPayload, PackedAtBuildTimeFromTheFolder) {
    const fs::path setup = BinDir() / L"package_payload_setup.exe";
    const std::string package = ResourceBytes(setup, L"PAYLOAD");
    const std::string metadata = ResourceBytes(setup, L"METADATA");

    auto reader = mvpk::Reader::Open(AsBytes(package));
    ASSERT_TRUE(reader) << reader.error();
    ASSERT_EQ(reader->entries().size(), 3u);
    EXPECT_EQ(reader->entries()[0].path, "bin\\velmora.txt");
    EXPECT_EQ(reader->entries()[1].path, "docs\\empty.txt");
    EXPECT_EQ(reader->entries()[2].path, "docs\\readme.txt");
    EXPECT_GT(reader->blocks().size(), 1u); // BLOCK_SIZE 16
    // The package's metadata block is the METADATA resource, byte for byte.
    EXPECT_EQ(package.substr(32, metadata.size()), metadata);
    const auto length =
        static_cast<std::uint8_t>(package[24]) | static_cast<std::uint8_t>(package[25]) << 8;
    EXPECT_EQ(length, metadata.size());

    TempDir dir;
    ASSERT_TRUE(reader->Extract(dir.path(), {}));
    const fs::path source = fs::path(PAYLOAD_SOURCE_DIR);
    for (const char* file : {"bin/velmora.txt", "docs/empty.txt", "docs/readme.txt"})
        EXPECT_EQ(ReadFileBytes(dir.path() / file),
                  ReadFileBytes(L"Z:" + source.wstring() + L"/" + fs::path(file).wstring()))
            << file;
}

} // namespace
