#include "ferrymail/store/StoreFile.h"

#include <gtest/gtest.h>

#include "TestHome.h"
#include "kinbook/foundation/Paths.h"

namespace {

class StoreFileTest : public ::testing::Test {
protected:
    std::string Path(const char* name) { return m_home.Path() + "/" + name; }
    std::string Bytes(const std::string& path) {
        std::string contents;
        EXPECT_TRUE(ReadWholeFile(path, contents));
        return contents;
    }
    CTestHome m_home;
};

TEST_F(StoreFileTest, StringsArePaddedToWholeWords) {
    CStoreFile file;
    ASSERT_TRUE(file.Open(Path("s").c_str(), CStoreFile::kModeWrite));
    ASSERT_TRUE(file.WriteString(""));
    ASSERT_TRUE(file.WriteString("abcde"));
    ASSERT_TRUE(file.WriteString("abcd"));
    ASSERT_TRUE(file.WriteInt(-2));
    ASSERT_TRUE(file.WriteAddressArray({{"a@b", "A"}}));
    ASSERT_TRUE(file.CloseFile());
    EXPECT_EQ(Bytes(Path("s")), std::string("\0\0\0\0"
                                            "\5\0\0\0abcde\0\0\0"
                                            "\4\0\0\0abcd"
                                            "\xfe\xff\xff\xff"
                                            "\1\0\0\0\3\0\0\0a@b\0\1\0\0\0A\0\0\0",
                                            48));

    ASSERT_TRUE(file.Open(Path("s").c_str(), 0));
    std::string text = "x";
    EXPECT_TRUE(file.ReadString(text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(file.ReadString(text));
    EXPECT_EQ(text, "abcde");
    EXPECT_EQ(file.GetPosition(), 16);
    EXPECT_TRUE(file.ReadString(text));
    EXPECT_EQ(text, "abcd");
    int number = 0;
    EXPECT_TRUE(file.ReadInt(&number));
    EXPECT_EQ(number, -2);
    std::vector<SAddress> addresses;
    EXPECT_TRUE(file.ReadAddressArray(addresses));
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0].m_name, "A");
    EXPECT_TRUE(file.AtEnd());
    EXPECT_FALSE(file.ReadInt(&number));
}

TEST_F(StoreFileTest, LengthsBeyondTheFileAreRefused) {
    struct SCase {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"negative length", std::string("\xff\xff\xff\xff", 4)},
        {"length past the end", std::string("\x10\0\0\0abc", 7)},
        {"padding past the end", std::string("\x05\0\0\0abcde", 9)},
        {"huge address count", std::string("\xff\xff\xff\x7f\0\0\0\0", 8)},
        {"three bytes", std::string("\0\0\0", 3)},
    };
    for (const SCase& c : cases) {
        ASSERT_EQ(WriteFileAtomically(Path("bad"), c.bytes), 0);
        CStoreFile file;
        ASSERT_TRUE(file.Open(Path("bad").c_str(), 0));
        std::string text;
        std::vector<SAddress> addresses;
        bool read = std::string(c.name) == "huge address count" ? file.ReadAddressArray(addresses)
                                                                : file.ReadString(text);
        EXPECT_FALSE(read) << c.name;
    }
}

TEST_F(StoreFileTest, WriteFailureIsReported) {
    CStoreFile file;
    EXPECT_FALSE(file.Open((m_home.Path() + "/missing/folder/f").c_str(), CStoreFile::kModeWrite));
    if (access("/dev/full", W_OK) == 0) {
        ASSERT_TRUE(file.Open("/dev/full", CStoreFile::kModeWrite));
        file.WriteString(std::string(100, 'x'));
        EXPECT_FALSE(file.CloseFile());
        EXPECT_EQ(file.GetWriteError(), ENOSPC);
    }
}

}  // namespace
