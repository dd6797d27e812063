#include "kinbook/foundation/LockFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "TestHome.h"
#include "kinbook/foundation/Paths.h"

namespace {

class LockFileTest : public ::testing::Test {
protected:
    std::string Path() const { return m_home.Path() + "/x.lck"; }
    CTestHome m_home;
};

TEST_F(LockFileTest, SecondHolderWaitsForNothingAndGetsTheLockAfterRelease) {
    CLockFile first, second;
    ASSERT_EQ(first.Acquire(Path()), 0);
    EXPECT_TRUE(first.IsHeld());
    EXPECT_EQ(second.Acquire(Path()), EWOULDBLOCK);
    EXPECT_FALSE(second.IsHeld());
    first.Release();
    EXPECT_EQ(second.Acquire(Path()), 0);
}

TEST_F(LockFileTest, ProcessIdIsWrittenReadAndEmptiedOnRequest) {
    CLockFile lock;
    EXPECT_EQ(CLockFile::ReadProcessId(Path()), 0);  // no file
    ASSERT_EQ(lock.Acquire(Path()), 0);
    EXPECT_EQ(CLockFile::ReadProcessId(Path()), 0);  // empty file
    ASSERT_TRUE(lock.WriteProcessId());
    EXPECT_EQ(CLockFile::ReadProcessId(Path()), static_cast<long>(getpid()));
    lock.Release();  // kept
    EXPECT_EQ(CLockFile::ReadProcessId(Path()), static_cast<long>(getpid()));
    ASSERT_EQ(lock.Acquire(Path()), 0);
    lock.Release(true);
    EXPECT_EQ(CLockFile::ReadProcessId(Path()), 0);
    EXPECT_FALSE(lock.WriteProcessId());  // nothing held
}

TEST_F(LockFileTest, FileThatCannotBeOpenedIsReported) {
    CLockFile lock;
    bool opened = true;
    EXPECT_EQ(lock.Acquire(m_home.Path() + "/missing/x.lck", &opened), ENOENT);
    EXPECT_FALSE(opened);
    ASSERT_EQ(lock.Acquire(Path(), &opened), 0);
    EXPECT_TRUE(opened);
}

}  // namespace
