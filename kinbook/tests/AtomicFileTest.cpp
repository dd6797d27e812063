#include "kinbook/foundation/AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestHome.h"
#include "kinbook/foundation/Paths.h"

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    std::string Path(const char* name) const { return m_home.Path() + "/" + name; }
    std::string Read(const std::string& path) const {
        std::string contents;
        return ReadWholeFile(path, contents) ? contents : "<missing>";
    }
    static int WriteAll(CAtomicFile& file, const std::string& contents) {
        int error = file.Create();
        if (error == 0)
            error = file.Write(contents.data(), contents.size());
        return error != 0 ? error : file.Finish();
    }

    CTestHome m_home;
};

TEST_F(AtomicFileTest, NamedTemporaryIsRenamedOverTheFileAtCommit) {
    ASSERT_EQ(WriteFileAtomically(Path("store"), "old"), 0);
    CAtomicFile file(Path("store"), Path("store.new"));
    ASSERT_EQ(WriteAll(file, "new"), 0);
    // Until the commit the old version is the file, the new one only its temporary.
    EXPECT_EQ(Read(Path("store")), "old");
    EXPECT_EQ(Read(Path("store.new")), "new");
    ASSERT_EQ(file.Commit(), 0);
    EXPECT_EQ(Read(Path("store")), "new");
    EXPECT_FALSE(std::filesystem::exists(Path("store.new")));
    EXPECT_EQ(file.GetFolderSyncError(), 0);
}

TEST_F(AtomicFileTest, FailedRenameKeepsTheTemporaryForARetryAndTheEndRemovesIt) {
    ASSERT_TRUE(MakeFolders(Path("target")));
    ASSERT_EQ(WriteFileAtomically(Path("target/inside"), "x"), 0);
    {
        CAtomicFile file(Path("target"));
        ASSERT_EQ(WriteAll(file, "data"), 0);
        EXPECT_NE(file.Commit(), 0);  // a folder that is not empty is not replaced
        EXPECT_EQ(Read(file.GetTemporaryPath()), "data");
        ASSERT_TRUE(std::filesystem::remove_all(Path("target")) > 0);
        EXPECT_EQ(file.Commit(), 0);
        EXPECT_EQ(Read(Path("target")), "data");
    }
    {
        CAtomicFile file(Path("other"));
        ASSERT_EQ(WriteAll(file, "never"), 0);
        // No commit: the object's end removes its temporary file, the file never appears.
    }
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_home.Path()))
        ++entries;
    EXPECT_EQ(entries, 1);  // target
}

TEST_F(AtomicFileTest, StepsOutOfOrderOrIntoAMissingFolderFail) {
    CAtomicFile missing(Path("missing/file"));
    EXPECT_EQ(missing.Create(), ENOENT);
    EXPECT_EQ(missing.Write("x", 1), EBADF);
    EXPECT_EQ(missing.Commit(), EINVAL);

    CAtomicFile unfinished(Path("file"));
    ASSERT_EQ(unfinished.Create(), 0);
    EXPECT_EQ(unfinished.Commit(), EINVAL);  // still open: nothing flushed yet
    EXPECT_FALSE(std::filesystem::exists(Path("file")));
}

TEST_F(AtomicFileTest, DurableFileReportsAFullDiskAtTheWriteOrTheFinish) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    CDurableFile file;
    ASSERT_EQ(file.Create("/dev/full"), 0);
    const std::string block(1 << 16, 'x');
    int error = file.Write(block.data(), block.size());
    const int finishError = file.Finish();
    EXPECT_EQ(error != 0 ? error : finishError, ENOSPC);
    EXPECT_FALSE(file.IsOpen());
}

}  // namespace
