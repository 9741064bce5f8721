#include "install/running_instance.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// A copy of the waiting helper, named as a product's executable, started from its own folder.
class RunningInstance : public ::testing::Test {
  protected:
    void SetUp() override {
        info.product = L"Lumen";
        info.exe = UniqueName(L"lumenrun") + L".exe";
        fs::create_directories(folder / L"sub");
        fs::copy_file(BinDir() / L"idle_helper.exe", folder / info.exe);
        process.emplace(Quoted(folder / info.exe) + L" 60");
        ASSERT_TRUE(process->started());
        // The process shows in the snapshot once its image is mapped; give it a moment.
        for (int i = 0; i < 100 && FindRunningInstance(info, folder).empty(); ++i)
            ::Sleep(100);
    }
    void TearDown() override {
        process.reset();
        // Its image stays in use until the process is really gone.
        for (int i = 0; i < 50 && !FindRunningInstance(info, folder).empty(); ++i)
            ::Sleep(100);
    }

    ProductInfo info;
    TempDir dir;
    fs::path folder = dir / L"Installé";
    std::optional<ChildProcess> process;
};

TEST_F(RunningInstance, FoundInItsFolderHoweverTheFolderIsWritten) {
    const std::wstring found = FindRunningInstance(info, folder);
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(IsSameFile(found, folder / info.exe));
    EXPECT_FALSE(FindRunningInstance(info, folder.native() + L"\\").empty());
    EXPECT_FALSE(FindRunningInstance(info, folder / L"sub\\..").empty());
    EXPECT_FALSE(FindRunningInstance(info, folder / L"." / L"sub" / L"..").empty());
    EXPECT_FALSE(FindRunningInstance(info, Upper(folder.native())).empty());

    // The name compared without regard to case.
    ProductInfo capitals = info;
    capitals.exe = Upper(info.exe);
    EXPECT_FALSE(FindRunningInstance(capitals, folder).empty());
}

TEST_F(RunningInstance, NotFoundForAnotherFolderOrAnotherExecutable) {
    ASSERT_FALSE(FindRunningInstance(info, folder).empty());
    TempDir other;
    EXPECT_TRUE(FindRunningInstance(info, other.path()).empty());
    EXPECT_TRUE(FindRunningInstance(info, folder / L"sub").empty());
    ProductInfo different = info;
    different.exe = L"autre-" + info.exe;
    EXPECT_TRUE(FindRunningInstance(different, folder).empty());

    process->Terminate();
    process->Wait(10000);
    bool gone = false;
    for (int i = 0; i < 50 && !gone; ++i) {
        gone = FindRunningInstance(info, folder).empty();
        if (!gone)
            ::Sleep(100);
    }
    EXPECT_TRUE(gone);
}

TEST(IsSameFile, ComparesCanonicalPathsWithoutRegardToAsciiCase) {
    TempDir dir;
    WriteFileBytes(dir / L"a" / L"f.exe", "");
    WriteFileBytes(dir / L"f.exe", "");
    EXPECT_TRUE(IsSameFile(dir / L"a\\f.exe", dir / L"a\\b\\..\\F.EXE"));
    EXPECT_TRUE(IsSameFile(dir / L"a\\f.exe", dir / L".\\A\\f.exe"));
    EXPECT_FALSE(IsSameFile(dir / L"a\\f.exe", dir / L"f.exe"));
    EXPECT_FALSE(IsSameFile(dir / L"a\\f.exe", dir / L"a\\f.exe.exe"));
}

TEST(RunningInstanceMessage, NamesTheProduct) {
    ProductInfo info;
    info.product = L"Velmora";
    EXPECT_EQ(RunningInstanceMessage(info),
              L"Velmora est en cours d'exécution : fermez-le puis recommencez.");
}

} // namespace
