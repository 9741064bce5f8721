// The Compression API of the test prefix (the Wine module on Debian's wimlib) against the
// buffers Windows' own Compress made (lzms-fixtures/), against damaged buffers, and in a
// round trip of several chunks. The container is read here with a parser of this test's own.
#include "package/system_library.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <compressapi.h>

#include <random>

namespace {

using namespace testing_support;

constexpr DWORD kBadBuffer = 605; // ERROR_BAD_COMPRESSION_BUFFER
constexpr char kGuard = '\xA5';

struct Api {
    Api() {
        EXPECT_TRUE(module && mvpk::Resolve(module.get(), "CreateCompressor", createCompressor) &&
                    mvpk::Resolve(module.get(), "Compress", compress) &&
                    mvpk::Resolve(module.get(), "CloseCompressor", closeCompressor) &&
                    mvpk::Resolve(module.get(), "SetCompressorInformation", setInformation) &&
                    mvpk::Resolve(module.get(), "QueryCompressorInformation", queryInformation) &&
                    mvpk::Resolve(module.get(), "CreateDecompressor", createDecompressor) &&
                    mvpk::Resolve(module.get(), "Decompress", decompress) &&
                    mvpk::Resolve(module.get(), "CloseDecompressor", closeDecompressor));
        EXPECT_TRUE(createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &compressor));
        EXPECT_TRUE(createDecompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &decompressor));
    }
    ~Api() {
        closeCompressor(compressor);
        closeDecompressor(decompressor);
    }

    // The compressed bytes, or "error N".
    std::string Compress(std::string_view raw) {
        std::string out(raw.size() + raw.size() / 8 + 4096, '\0');
        SIZE_T size = 0;
        if (!compress(compressor, const_cast<char*>(raw.data()), raw.size(), out.data(), out.size(),
                      &size))
            return "error " + std::to_string(::GetLastError());
        return out.substr(0, size);
    }

    // The output, or "error N", with `capacity` bytes offered and guard bytes after them,
    // which must come back untouched; a short output is left as it was, before any decoding.
    std::string Decompress(std::string_view buffer, std::size_t capacity,
                           SIZE_T* produced = nullptr) {
        std::string out(capacity + 64, kGuard);
        SIZE_T size = 0;
        const BOOL ok = decompress(decompressor, const_cast<char*>(buffer.data()), buffer.size(),
                                   out.data(), capacity, &size);
        const DWORD error = ::GetLastError();
        EXPECT_EQ(out.substr(capacity), std::string(64, kGuard)) << "written past the output";
        if (!ok && error == ERROR_INSUFFICIENT_BUFFER) {
            EXPECT_EQ(out.substr(0, capacity), std::string(capacity, kGuard)) << "written anyway";
        }
        if (produced != nullptr)
            *produced = size;
        return ok ? out.substr(0, size) : "error " + std::to_string(error);
    }

    ModuleHandle module = mvpk::LoadSystemLibrary(L"cabinet.dll");
    decltype(&::CreateCompressor) createCompressor = nullptr;
    decltype(&::Compress) compress = nullptr;
    decltype(&::CloseCompressor) closeCompressor = nullptr;
    decltype(&::SetCompressorInformation) setInformation = nullptr;
    decltype(&::QueryCompressorInformation) queryInformation = nullptr;
    decltype(&::CreateDecompressor) createDecompressor = nullptr;
    decltype(&::Decompress) decompress = nullptr;
    decltype(&::CloseDecompressor) closeDecompressor = nullptr;
    COMPRESSOR_HANDLE compressor = nullptr;
    DECOMPRESSOR_HANDLE decompressor = nullptr;
};

std::string Le(std::uint64_t value, int width) {
    std::string bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes;
}

std::uint64_t GetLe(std::string_view bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// zlib's CRC-32 (reflected polynomial 0xEDB88320), bit by bit.
std::uint32_t Crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// A buffer as the fixtures' README describes it, its check byte right whatever the fields.
std::string Buffer(std::uint64_t total, std::uint64_t chunkSize, std::string_view chunks) {
    std::string header =
        "\x0A\x51\xE5\xC0" + Le(24, 2) + '\0' + '\x05' + Le(total, 8) + Le(chunkSize, 8);
    header[6] = static_cast<char>(Crc32(header.substr(0, 6) + header.substr(7)) & 0xFF);
    return header + std::string(chunks);
}

std::string Fixture(const char* name) {
    return ReadFileBytes(std::filesystem::path(L"Z:" LZMS_FIXTURES_DIR) / name);
}

constexpr const char* kFixtures[] = {"zeros", "sequential", "single_byte", "small", "random"};

TEST(WindowsBuffers, DecodeExactlyAndAreMadeAgainWithTheSameHeader) {
    Api api;
    for (const char* name : kFixtures) {
        const std::string raw = Fixture((std::string(name) + ".raw").c_str());
        const std::string windows = Fixture((std::string(name) + ".lzms").c_str());
        ASSERT_FALSE(raw.empty()) << name;
        // The fixtures' own header: this test's reading of the format matches Windows'.
        EXPECT_EQ(windows.substr(0, 24), Buffer(raw.size(), raw.size(), "")) << name;
        EXPECT_EQ(api.Decompress(windows, raw.size()), raw) << name;
        const std::string made = api.Compress(raw);
        EXPECT_EQ(made.substr(0, 24), windows.substr(0, 24)) << name;
        EXPECT_EQ(api.Decompress(made, raw.size()), raw) << name;
    }
    // Random bytes do not compress: stored as they are, exactly as Windows stored them.
    EXPECT_EQ(api.Compress(Fixture("random.raw")), Fixture("random.lzms"));
}

TEST(DamagedBuffers, RefusedWithNothingWrittenPastTheOutput) {
    Api api;
    const std::string sequential = Fixture("sequential.lzms"); // 1,024 bytes, one LZMS chunk
    const std::string random = Fixture("random.lzms");         // 2,048 bytes, stored
    const std::string text(100, 't');
    std::string small; // 70 chunks of 1,000 bytes, stored
    for (int i = 0; i < 70; ++i)
        small += Le(1000, 4) + std::string(1000, 'a');
    std::vector<std::pair<std::string, std::string>> rows;
    for (std::size_t i = 0; i < 24; ++i) {
        std::string changed = sequential;
        changed[i] ^= 0x10;
        rows.push_back({changed, "header byte " + std::to_string(i)});
    }
    rows.insert(
        rows.end(),
        {
            {"", "empty"},
            {sequential.substr(0, 23), "header cut"},
            {sequential.substr(0, 26), "record cut"},
            {sequential.substr(0, sequential.size() - 1), "last byte missing"},
            {random + '\0', "trailing byte"},
            {Buffer(100, 100, Le(101, 4) + text + "x"), "chunk larger than its share"},
            {Buffer(100, 100, Le(100, 4) + text.substr(50)), "chunk past the end"},
            {Buffer(100, 100, Le(0, 4)), "empty chunk"},
            {Buffer(65536 + 100, 65536, Le(65536, 4) + std::string(65536, 'a')), "chunk missing"},
            {Buffer(100, 0, Le(100, 4) + text), "zero chunk size"},
            {Buffer(100, 67108864 + 1, Le(100, 4) + text), "oversized chunk size"},
            {Buffer(70000, 1000, small), "chunks below the smallest size"},
            {Buffer(std::uint64_t{1} << 62, 67108864, Le(67108864, 4)), "huge total"},
        });
    for (const auto& [buffer, what] : rows)
        EXPECT_EQ(api.Decompress(buffer, 70000), "error 605") << what;

    // A short output gets the size it needs and nothing written.
    SIZE_T needed = 0;
    EXPECT_EQ(api.Decompress(sequential, 1023, &needed), "error 122");
    EXPECT_EQ(needed, 1024u);
    // The compressor's size query: every chunk stored (header, record, bytes).
    const std::string raw = Fixture("sequential.raw");
    for (SIZE_T capacity : {SIZE_T{0}, SIZE_T{24 + 4 + 1024 - 1}}) {
        std::string out(capacity, '\0');
        needed = 0;
        EXPECT_FALSE(api.compress(api.compressor, const_cast<char*>(raw.data()), raw.size(),
                                  capacity ? out.data() : nullptr, capacity, &needed));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(needed, 24u + 4 + 1024);
    }
}

// Chunks of 64 KiB: text, random bytes, text, and a short last one. The second is stored,
// the others are LZMS streams strictly smaller than their chunk.
TEST(RoundTrip, SeveralChunksStoredAndLzms) {
    Api api;
    DWORD chunkSize = 65535;
    EXPECT_FALSE(api.setInformation(api.compressor, COMPRESS_INFORMATION_CLASS_BLOCK_SIZE,
                                    &chunkSize, sizeof chunkSize));
    chunkSize = 65536;
    ASSERT_TRUE(api.setInformation(api.compressor, COMPRESS_INFORMATION_CLASS_BLOCK_SIZE,
                                   &chunkSize, sizeof chunkSize));
    DWORD read = 0;
    EXPECT_TRUE(api.queryInformation(api.compressor, COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, &read,
                                     sizeof read));
    EXPECT_EQ(read, 65536u);

    std::string text;
    while (text.size() < 65536)
        text += "ligne " + std::to_string(text.size() % 977) + " d'un texte qui se répète\r\n";
    text.resize(65536);
    std::mt19937 generator(7);
    std::string random(65536, '\0');
    for (char& c : random)
        c = static_cast<char>(generator());
    const std::string raw = text + random + text + text.substr(0, 1000);
    const std::string made = api.Compress(raw);
    ASSERT_EQ(made.substr(0, 24), Buffer(raw.size(), 65536, ""));
    std::vector<std::uint64_t> stored;
    for (std::size_t at = 24; at + 4 <= made.size(); at += 4 + stored.back())
        stored.push_back(GetLe(made, at, 4));
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_LT(stored[0], 65536u);
    EXPECT_EQ(stored[1], 65536u);
    EXPECT_EQ(made.substr(24 + 4 + stored[0] + 4, 65536), random);
    EXPECT_LT(stored[2], 65536u);
    EXPECT_LT(stored[3], 1000u);
    EXPECT_EQ(24 + 4 * 4 + stored[0] + stored[1] + stored[2] + stored[3], made.size());
    EXPECT_EQ(api.Decompress(made, raw.size()), raw);
}

} // namespace
