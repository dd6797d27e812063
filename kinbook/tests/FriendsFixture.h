// A fresh data folder and an empty friends store for each test, with helpers to write
// and read the data files.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "TestHome.h"
#include "friends/FriendsState.h"
#include "kinbook/friends/EmailDomain.h"
#include "kinbook/foundation/FileOps.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/friends/Friends.h"
#include "kinbook/friends/ImportSource.h"
#include "kinbook/foundation/Paths.h"

class FriendsFixture : public ::testing::Test {
protected:
    void SetUp() override { ResetFriendsState(); }
    void TearDown() override { ResetFriendsState(); }

    std::string Path(const char* name) const { return m_home.Path() + "/" + name; }
    void Write(const char* name, const std::string& text) {
        ASSERT_EQ(WriteFileAtomically(Path(name), text), 0);
    }
    std::string Read(const char* name) const {
        std::string text;
        ReadWholeFile(Path(name), text);
        return text;
    }
    bool Exists(const char* name) const { return GetFileStamp(Path(name)).exists; }
    // Drops the store in memory, as a new process would start.
    void Restart() { ResetFriendsState(); }

    CTestHome m_home;
};
