// The elevated relaunch, and the silent path's decision to use it. Under Wine every process
// is elevated, so the decision is reached through the silent path's elevation calls.
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/command_line.h"
#include "setup/elevation.h"
#include "setup/silent_install.h"
#include "setup/text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

using namespace testing_support;

namespace {

constexpr int kCopyExitCode = 42;
const wchar_t* const kRecordVariable = L"LUMEN_RELAUNCH_RECORD";

TEST(RelaunchElevated, CopyGetsTheSwitchesAndItsExitCodeComesBack) {
    TempDir temp(L"relaunch");
    const auto record = temp / L"command line.txt";
    ASSERT_TRUE(::SetEnvironmentVariableW(kRecordVariable, record.c_str()));

    SetupOptions options;
    options.silent = true;
    options.scope = Scope::Machine;
    options.noLaunch = true;
    options.installDir = L"C:\\Program Files\\Orvalis  Relance";
    EXPECT_EQ(RelaunchElevated(options, nullptr), kCopyExitCode);

    const std::wstring received = Utf8ToWide(ReadFileBytes(record));
    SetupOptions expected = options;
    expected.elevated = true;
    EXPECT_EQ(ParseCommandLineText(received), expected);
    EXPECT_TRUE(received.ends_with(L" /ELEVATED /D=C:\\Program Files\\Orvalis  Relance"));
}

// An empty package, enough for the silent path to run an installation of nothing.
const std::array<std::byte, 32> kEmptyPackage = [] {
    std::array<std::byte, 32> bytes{};
    const char header[] = {'M', 'V', 'P', 'K', 1};
    for (size_t i = 0; i < sizeof(header); ++i)
        bytes[i] = static_cast<std::byte>(header[i]);
    return bytes;
}();

class SilentElevationDecision : public ::testing::Test {
  protected:
    void SetUp() override {
        info.product = UniqueName(L"Orvalis Decision");
        info.registryKey = L"Software\\Orvalis Tests\\" + info.product;
    }
    void TearDown() override { RemoveRegistration(info); }

    int Run(SetupOptions options, bool elevated) {
        const auto reader = mvpk::Reader::Open(kEmptyPackage);
        EXPECT_TRUE(reader);
        ElevationCalls calls{[elevated] { return elevated; },
                             [this](const SetupOptions& passed) {
                                 relaunched = passed;
                                 return 1223;
                             }};
        return RunSilentInstall(*reader, info, options, calls);
    }

    TempDir temp{L"decision"};
    ProductInfo info;
    std::optional<SetupOptions> relaunched;
};

TEST_F(SilentElevationDecision, PerMachineWithoutRightsHandsOverUnchanged) {
    SetupOptions options;
    options.silent = true;
    options.installDir = (temp / L"Orvalis").native();
    // No scope switch means per machine; the copy gets no scope switch either.
    EXPECT_EQ(Run(options, false), 1223);
    ASSERT_TRUE(relaunched);
    EXPECT_EQ(*relaunched, options);
    EXPECT_FALSE(std::filesystem::exists(temp / L"Orvalis"));
}

TEST_F(SilentElevationDecision, PerUserOrElevatedInstallsInProcess) {
    SetupOptions options;
    options.silent = true;
    options.scope = Scope::User;
    options.installDir = (temp / L"Pour moi").native();
    EXPECT_EQ(Run(options, false), 0);
    EXPECT_FALSE(relaunched);
    EXPECT_TRUE(std::filesystem::exists(temp / L"Pour moi\\Uninstall.exe"));

    options.scope = Scope::Machine;
    options.installDir = (temp / L"Pour tous").native();
    EXPECT_EQ(Run(options, true), 0);
    EXPECT_FALSE(relaunched);
    EXPECT_TRUE(std::filesystem::exists(temp / L"Pour tous\\Uninstall.exe"));
}

} // namespace

int main(int argc, char** argv) {
    // Started again by RelaunchElevated: record how, and answer with a code of our own.
    if (ParseCommandLine().elevated) {
        wchar_t record[1024] = {};
        if (::GetEnvironmentVariableW(kRecordVariable, record, 1024) > 0)
            WriteFileBytes(record, WideToUtf8(::GetCommandLineW()));
        return kCopyExitCode;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
