// The Compression API as the test prefix provides it: under Wine, the stand-in
// tools/cabinet_standin (Wine's own cabinet.dll has no Compression API).
#include "package/compression_api.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using mvpk::CompressionApi;

constexpr DWORD kBadCompressionBuffer = 605;

class Standin : public ::testing::Test {
  protected:
    void SetUp() override {
        api = CompressionApi::LoadAll();
        ASSERT_TRUE(api) << "error " << ::GetLastError();
        ASSERT_TRUE(api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &compressor));
        ASSERT_TRUE(api->createDecompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &decompressor));
    }
    void TearDown() override {
        if (compressor) {
            EXPECT_TRUE(api->closeCompressor(compressor));
        }
        if (decompressor) {
            EXPECT_TRUE(api->closeDecompressor(decompressor));
        }
    }

    std::string Compress(const std::string& data) {
        SIZE_T needed = 0;
        api->compress(compressor, data.data(), data.size(), nullptr, 0, &needed);
        std::string out(needed, '\0');
        SIZE_T produced = 0;
        EXPECT_TRUE(
            api->compress(compressor, data.data(), data.size(), out.data(), out.size(), &produced));
        out.resize(produced);
        return out;
    }

    std::unique_ptr<CompressionApi> api;
    COMPRESSOR_HANDLE compressor = nullptr;
    DECOMPRESSOR_HANDLE decompressor = nullptr;
};

TEST_F(Standin, IsLoadedFromSystem32) {
    HMODULE module = ::GetModuleHandleW(L"cabinet.dll");
    ASSERT_NE(module, nullptr);
    wchar_t name[MAX_PATH] = {};
    ::GetModuleFileNameW(module, name, MAX_PATH);
    std::wstring lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    EXPECT_NE(lower.find(L"\\system32\\cabinet.dll"), std::wstring::npos);
}

TEST_F(Standin, RefusesOtherAlgorithmsAndRawMode) {
    for (DWORD algorithm : {DWORD{0}, DWORD{1}, DWORD{COMPRESS_ALGORITHM_MSZIP},
                            DWORD{COMPRESS_ALGORITHM_XPRESS}, DWORD{COMPRESS_ALGORITHM_XPRESS_HUFF},
                            DWORD{6}, DWORD{COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW}}) {
        SCOPED_TRACE(algorithm);
        DECOMPRESSOR_HANDLE d = reinterpret_cast<DECOMPRESSOR_HANDLE>(1);
        ::SetLastError(0);
        EXPECT_FALSE(api->createDecompressor(algorithm, nullptr, &d));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(d, nullptr);
        COMPRESSOR_HANDLE c = nullptr;
        ::SetLastError(0);
        EXPECT_FALSE(api->createCompressor(algorithm, nullptr, &c));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
}

TEST_F(Standin, CompressQueriesTheSizeLikeTheBufferCompressor) {
    const std::string data(1000, 'q');
    SIZE_T needed = 0;
    ::SetLastError(0);
    EXPECT_FALSE(api->compress(compressor, data.data(), data.size(), nullptr, 0, &needed));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 1016u);
    std::string small(100, '\0');
    needed = 0;
    EXPECT_FALSE(
        api->compress(compressor, data.data(), data.size(), small.data(), small.size(), &needed));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 1016u);
}

TEST_F(Standin, BlockFormatAndRoundTrip) {
    const std::string data = "Velmora\0bytes\xff"; // the literal stops at the NUL: 7 bytes
    const std::string block = Compress(data);
    ASSERT_EQ(block.size(), 16 + data.size());
    EXPECT_EQ(block.substr(0, 8), std::string("\x0A\x51\xE5\xC0\x05\x00\x00\x00", 8));
    EXPECT_EQ(block.substr(8, 8), std::string("\x07\0\0\0\0\0\0\0", 8));
    std::string out(data.size(), '\0');
    SIZE_T produced = 0;
    ASSERT_TRUE(api->decompress(decompressor, block.data(), block.size(), out.data(), out.size(),
                                &produced));
    EXPECT_EQ(produced, data.size());
    EXPECT_EQ(out, data);
    // A larger output buffer is fine and reports the real length.
    std::string roomy(100, '\0');
    ASSERT_TRUE(api->decompress(decompressor, block.data(), block.size(), roomy.data(),
                                roomy.size(), &produced));
    EXPECT_EQ(produced, data.size());
}

TEST_F(Standin, EmptyInput) {
    const std::string block = Compress("");
    ASSERT_EQ(block.size(), 16u);
    SIZE_T produced = 99;
    EXPECT_TRUE(api->decompress(decompressor, block.data(), block.size(), nullptr, 0, &produced));
    EXPECT_EQ(produced, 0u);
}

TEST_F(Standin, DamagedOrTruncatedBlocksAreRefused) {
    const std::string block = Compress(std::string(64, 'd'));
    std::string out(64, '\0');
    auto refused = [&](const std::string& damaged) {
        SIZE_T produced = 0;
        ::SetLastError(0);
        const BOOL ok = api->decompress(decompressor, damaged.data(), damaged.size(), out.data(),
                                        out.size(), &produced);
        return !ok && ::GetLastError() == kBadCompressionBuffer;
    };
    for (std::size_t i = 0; i < 16; ++i) {
        // Bytes 8-15 hold the length, which must match the stored bytes.
        std::string damaged = block;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x01);
        EXPECT_TRUE(refused(damaged)) << "byte " << i;
    }
    EXPECT_TRUE(refused(block.substr(0, block.size() - 1)));
    EXPECT_TRUE(refused(block.substr(0, 15)));
    EXPECT_TRUE(refused(""));
    EXPECT_TRUE(refused(block + "x"));
}

TEST_F(Standin, SmallOutputBufferReportsTheNeededLength) {
    const std::string block = Compress(std::string(64, 's'));
    std::string out(63, '\0');
    SIZE_T produced = 0;
    ::SetLastError(0);
    EXPECT_FALSE(api->decompress(decompressor, block.data(), block.size(), out.data(), out.size(),
                                 &produced));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(produced, 64u);
}

TEST_F(Standin, HandlesOfTheWrongKindAreRefused) {
    const std::string block = Compress("x");
    char out[1];
    SIZE_T produced = 0;
    ::SetLastError(0);
    EXPECT_FALSE(api->decompress(reinterpret_cast<DECOMPRESSOR_HANDLE>(compressor), block.data(),
                                 block.size(), out, 1, &produced));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(api->decompress(nullptr, block.data(), block.size(), out, 1, &produced));
    EXPECT_FALSE(api->closeDecompressor(nullptr));
    EXPECT_FALSE(api->compress(nullptr, "x", 1, out, 1, &produced));
}

} // namespace
