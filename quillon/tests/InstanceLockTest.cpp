#include "app/InstanceLock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestHome.h"

namespace {

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class InstanceLockTest : public ::testing::Test {
protected:
    std::string LockFile() const { return m_home.Path() + "/" + CInstanceLock::kFileName; }
    CTestHome m_home;
};

TEST_F(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstReleases) {
    CInstanceLock first, second;
    std::string error;
    ASSERT_TRUE(first.Acquire(m_home.Path(), error)) << error;
    EXPECT_TRUE(first.IsHeld());
    EXPECT_EQ(first.GetPath(), LockFile());
    EXPECT_EQ(FileText(LockFile()), std::to_string(getpid()) + "\n");

    EXPECT_FALSE(second.Acquire(m_home.Path(), error));
    EXPECT_FALSE(second.IsHeld());
    EXPECT_NE(error.find("already running"), std::string::npos) << error;
    EXPECT_NE(error.find("process " + std::to_string(getpid())), std::string::npos) << error;
    EXPECT_NE(error.find(m_home.Path()), std::string::npos) << error;

    first.Release();
    EXPECT_FALSE(first.IsHeld());
    EXPECT_EQ(FileText(LockFile()), "") << "a released lock names no holder";
    ASSERT_TRUE(second.Acquire(m_home.Path(), error)) << error;
}

TEST_F(InstanceLockTest, DestructorReleasesAndALeftoverFileDoesNotBlock) {
    { std::ofstream(LockFile()) << "99999999\n"; }
    std::string error;
    {
        CInstanceLock scoped;
        ASSERT_TRUE(scoped.Acquire(m_home.Path(), error)) << error;
        EXPECT_EQ(FileText(LockFile()), std::to_string(getpid()) + "\n");
    }
    CInstanceLock next;
    EXPECT_TRUE(next.Acquire(m_home.Path(), error)) << error;
}

TEST_F(InstanceLockTest, LockOfAKilledProcessIsFree) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CInstanceLock held;
        std::string error;
        const char result = held.Acquire(m_home.Path(), error) ? '1' : '0';
        if (write(ready[1], &result, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    ASSERT_EQ(result, '1');

    CInstanceLock lock;
    std::string error;
    EXPECT_FALSE(lock.Acquire(m_home.Path(), error));
    EXPECT_NE(error.find("process " + std::to_string(child)), std::string::npos) << error;

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(FileText(LockFile()), std::to_string(child) + "\n")
        << "the killed holder's file stays";
    EXPECT_TRUE(lock.Acquire(m_home.Path(), error)) << error;
}

TEST_F(InstanceLockTest, MissingFolderIsAnError) {
    CInstanceLock lock;
    std::string error;
    EXPECT_FALSE(lock.Acquire(m_home.Path() + "/no/such/folder", error));
    EXPECT_NE(error.find("cannot open the lock file"), std::string::npos) << error;
    EXPECT_FALSE(lock.IsHeld());
}

}  // namespace
