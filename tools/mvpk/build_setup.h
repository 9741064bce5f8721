// The setup compiler: a product's folder and description turned into its setup program,
// from a copy of the prebuilt stub (the setup program without METADATA and PAYLOAD).
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace mvpk_tool {

struct BuildSetupRequest {
    std::filesystem::path folder;
    std::filesystem::path metadataFile;
    std::filesystem::path output;
    std::uint64_t blockSize = 0;
    std::filesystem::path stub; // empty: setup_stub.exe beside the running mvpk.exe
    std::wstring signCommand;   // empty: no signing
};

// The stub that lies beside the running tool.
std::filesystem::path DefaultStub();

// Builds the setup program at output and returns the summary line to show. Everything is
// made in temporary files beside the output, which takes their place only at the end: on
// failure the output is as it was and the French message is returned.
std::expected<std::string, std::string> BuildSetup(const BuildSetupRequest& request);

} // namespace mvpk_tool
