#include "kinbook/foundation/ImpFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestHome.h"
#include "kinbook/foundation/Paths.h"

namespace {

class ImpFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& content) {
        const std::string path = m_dir + "/" + name;
        EXPECT_EQ(WriteFileAtomically(path, content), 0);
        return path;
    }

    // A sparse file of `size` bytes; false when the file system cannot make one.
    bool WriteSparse(const std::string& path, off_t size) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        bool made = ::ftruncate(fd, size) == 0;
        ::close(fd);
        return made;
    }

    static long PageSize() { return ::sysconf(_SC_PAGESIZE); }

    CTestHome m_home;
    const std::string m_dir = m_home.Path();
    CImpFile m_file;  // closed before the folder goes
};

TEST_F(ImpFileTest, EmptyFileOpensAtItsEnd) {
    ASSERT_TRUE(m_file.Open(Write("empty.bin", "").c_str(), 0));
    EXPECT_TRUE(m_file.IsOpen());
    EXPECT_TRUE(m_file.AtEnd());
    EXPECT_EQ(m_file.BytesLeft(), 0);
    EXPECT_EQ(m_file.GetLength(), 0);
    EXPECT_EQ(m_file.Seek(0, CImpFile::end), 0);
    EXPECT_EQ(m_file.Seek(1, CImpFile::begin), -1);

    char byte = 'q';
    EXPECT_FALSE(m_file.ReadAt(&byte, 1));
    EXPECT_EQ(byte, 'q');
    EXPECT_TRUE(m_file.ReadAt(&byte, 0));

    std::string text = "stale";
    EXPECT_TRUE(m_file.ReadStringAt(text, 0, CImpFile::begin));
    EXPECT_EQ(text, "");
    EXPECT_STREQ(m_file.GetStringAt(0, CImpFile::begin), "");
    EXPECT_EQ(m_file.GetStringLengthAt(), 0);
    EXPECT_FALSE(m_file.CheckSignature("M", 1));
    EXPECT_TRUE(m_file.CheckSignature("", 0));
}

TEST_F(ImpFileTest, WhatCannotBeMappedIsRefusedAndLeavesTheObjectClosed) {
    EXPECT_FALSE(m_file.Open((m_dir + "/missing").c_str(), 0));
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_FALSE(m_file.Open(m_dir.c_str(), 0));
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_FALSE(m_file.Open(nullptr, 0));

    std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(m_file.Open(fifo.c_str(), 0));  // must not block waiting for a writer

    // A failed open of an open object closes it.
    ASSERT_TRUE(m_file.Open(Write("a.bin", "abc").c_str(), 0));
    EXPECT_FALSE(m_file.Open((m_dir + "/missing").c_str(), 0));
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_EQ(m_file.GetLength(), 0);
    EXPECT_EQ(m_file.GetPosition(), 0);
}

struct SSeekCase {
    long offset;
    UINT from;
    long expected;  // -1: refused
};

TEST_F(ImpFileTest, SeekStaysInsideTheFile) {
    const SSeekCase cases[] = {
        {0, CImpFile::begin, 0},       {10, CImpFile::begin, 10},
        {11, CImpFile::begin, -1},     {-1, CImpFile::begin, -1},
        {0, CImpFile::current, 4},     {6, CImpFile::current, 10},
        {7, CImpFile::current, -1},    {-4, CImpFile::current, 0},
        {-5, CImpFile::current, -1},   {0, CImpFile::end, 10},
        {1, CImpFile::end, -1},        {-10, CImpFile::end, 0},
        {-11, CImpFile::end, -1},      {LONG_MAX, CImpFile::current, -1},
        {LONG_MIN, CImpFile::end, -1}, {0, 3, -1},
    };
    ASSERT_TRUE(m_file.Open(Write("ten.bin", "0123456789").c_str(), 0));
    for (const SSeekCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "offset " << c.offset << " from " << c.from);
        m_file.Seek(4, CImpFile::begin);
        EXPECT_EQ(m_file.Seek(c.offset, c.from), c.expected);
        EXPECT_EQ(m_file.GetLastError(), c.expected < 0 ? ERROR_SEEK : 0);
        EXPECT_EQ(m_file.GetPosition(), c.expected < 0 ? 4 : c.expected);
    }
}

TEST_F(ImpFileTest, ReadAtCopiesAndAdvancesOnlyWhenEnoughIsLeft) {
    ASSERT_TRUE(m_file.Open(Write("seven.bin", std::string("ABC\0EFG", 7)).c_str(), 0));
    char buffer[8] = {};
    ASSERT_TRUE(m_file.ReadAt(buffer, 2));
    EXPECT_EQ(std::string(buffer, 2), "AB");
    EXPECT_EQ(m_file.GetPosition(), 2);
    ASSERT_TRUE(m_file.ReadAt(buffer, 2));
    EXPECT_EQ(std::string(buffer, 2), std::string("C\0", 2));
    EXPECT_EQ(m_file.GetPosition(), 4);

    // 4 bytes asked, 3 left: nothing copied, the position stays.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(m_file.ReadAt(buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "####");
    EXPECT_EQ(m_file.GetPosition(), 4);
    EXPECT_EQ(m_file.BytesLeft(), 3);

    // With a seek, a failed read leaves the position where the seek put it.
    EXPECT_FALSE(m_file.ReadAt(buffer, 4, -3, CImpFile::end));
    EXPECT_EQ(m_file.GetPosition(), 4);
    EXPECT_FALSE(m_file.ReadAt(buffer, 2, 6, CImpFile::begin));
    EXPECT_EQ(m_file.GetPosition(), 6);

    ASSERT_TRUE(m_file.ReadAt(buffer, 3, 1, CImpFile::begin));
    EXPECT_EQ(std::string(buffer, 3), std::string("BC\0", 3));
    ASSERT_TRUE(m_file.ReadAt(buffer, 3, 0, CImpFile::current));
    EXPECT_EQ(std::string(buffer, 3), "EFG");
    EXPECT_TRUE(m_file.AtEnd());

    EXPECT_FALSE(m_file.ReadAt(buffer, 1, 8, CImpFile::begin));
    EXPECT_EQ(m_file.GetPosition(), 7);
}

TEST_F(ImpFileTest, CheckSignatureComparesTheFirstBytes) {
    ASSERT_TRUE(m_file.Open(Write("sig.bin", "JMF1rest").c_str(), 0));
    m_file.Seek(5, CImpFile::begin);
    EXPECT_TRUE(m_file.CheckSignature("JMF1", 4));
    EXPECT_EQ(m_file.GetPosition(), 4);
    EXPECT_FALSE(m_file.CheckSignature("JMF2", 4));
    EXPECT_EQ(m_file.GetPosition(), 4);
    EXPECT_TRUE(m_file.CheckSignature("JMF1rest", 8));
    EXPECT_TRUE(m_file.AtEnd());

    // Longer than the file: 0, and the position is at the start.
    EXPECT_FALSE(m_file.CheckSignature("JMF1rest!", 9));
    EXPECT_EQ(m_file.GetPosition(), 0);
}

TEST_F(ImpFileTest, StringsEndAtTheirZeroOrAtTheEndOfTheFile) {
    ASSERT_TRUE(m_file.Open(Write("strings.bin", std::string("abc\0def\0gh", 10)).c_str(), 0));
    std::string text;
    ASSERT_TRUE(m_file.ReadStringAt(text, 0, CImpFile::begin));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(m_file.GetPosition(), 0);
    ASSERT_TRUE(m_file.ReadStringAt(text, 4, CImpFile::current));
    EXPECT_EQ(text, "def");
    EXPECT_EQ(m_file.GetPosition(), 4);
    ASSERT_TRUE(m_file.ReadStringAt(text, -2, CImpFile::end));
    EXPECT_EQ(text, "gh");
    EXPECT_EQ(m_file.GetStringLengthAt(), 2);
    ASSERT_TRUE(m_file.ReadStringAt(text, 0, CImpFile::end));
    EXPECT_EQ(text, "");
    ASSERT_TRUE(m_file.ReadStringAt(text, 3, CImpFile::begin));
    EXPECT_EQ(text, "");

    EXPECT_STREQ(m_file.GetStringAt(4, CImpFile::begin), "def");
    EXPECT_EQ(m_file.GetPosition(), 4);
    EXPECT_STREQ(m_file.GetStringAt(), "def");
    EXPECT_STREQ(m_file.GetStringAt(8, CImpFile::begin), "gh");
    EXPECT_STREQ(m_file.GetStringAt(0, CImpFile::end), "");
    EXPECT_EQ(m_file.GetStringAt(1, CImpFile::end), nullptr);
    text = "left over";
    EXPECT_FALSE(m_file.ReadStringAt(text, -1, CImpFile::begin));
    EXPECT_EQ(text, "");
    EXPECT_EQ(m_file.GetPosition(), 10);
}

TEST_F(ImpFileTest, StringRunningToTheEndOfAPageSizedFileStopsThere) {
    // Without a zero byte and with the file ending on a page boundary, any read past the
    // end of the file would fault.
    for (long pages : {1L, 3L}) {
        SCOPED_TRACE(pages);
        std::string content(static_cast<size_t>(PageSize() * pages), 'x');
        ASSERT_TRUE(m_file.Open(Write("pages.bin", content).c_str(), 0));
        std::string text;
        ASSERT_TRUE(m_file.ReadStringAt(text, 0, CImpFile::begin));
        EXPECT_EQ(text, content);
        ASSERT_TRUE(m_file.ReadStringAt(text, -5, CImpFile::end));
        EXPECT_EQ(text, "xxxxx");
        EXPECT_EQ(m_file.GetStringLengthAt(), 5);
        EXPECT_EQ(std::strlen(m_file.GetStringAt(0, CImpFile::begin)), content.size());
        EXPECT_STREQ(m_file.GetStringAt(-1, CImpFile::end), "x");
        EXPECT_STREQ(m_file.GetStringAt(0, CImpFile::end), "");
        m_file.Close();
    }
}

TEST_F(ImpFileTest, ReopenAndCloseReleaseTheOldMapping) {
    std::string first = Write("first.bin", std::string("first\0", 6));
    std::string second = Write("second.bin", std::string("second file\0", 12));
    ASSERT_TRUE(m_file.Open(first.c_str(), 0));
    m_file.Seek(3, CImpFile::begin);
    ASSERT_TRUE(m_file.Open(second.c_str(), 0));
    EXPECT_EQ(m_file.GetPosition(), 0);
    EXPECT_EQ(m_file.GetLength(), 12);
    EXPECT_EQ(m_file.GetFilePath(), second);
    EXPECT_STREQ(m_file.GetStringAt(), "second file");

    m_file.Seek(3, CImpFile::begin);
    m_file.Close();
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_EQ(m_file.GetPosition(), 0);
    EXPECT_EQ(m_file.GetLength(), 0);
    EXPECT_TRUE(m_file.AtEnd());
    EXPECT_EQ(m_file.GetFilePath(), "");
    char byte;
    EXPECT_FALSE(m_file.ReadAt(&byte, 1));
    EXPECT_STREQ(m_file.GetStringAt(), "");
    std::string text = "stale";
    EXPECT_TRUE(m_file.ReadStringAt(text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(m_file.Seek(1, CImpFile::begin), -1);
    m_file.Close();

    ASSERT_TRUE(m_file.Open(first.c_str(), 0));
    EXPECT_EQ(m_file.GetLength(), 6);
    EXPECT_STREQ(m_file.GetStringAt(), "first");
}

TEST_F(ImpFileTest, ReplacingTheFileByRenameDoesNotChangeWhatIsMapped) {
    std::string path = Write("store.bin", std::string("old content\0", 12));
    ASSERT_TRUE(m_file.Open(path.c_str(), 0));
    std::string fresh = Write("store.new", std::string("new\0", 4));
    ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
    EXPECT_EQ(m_file.GetLength(), 12);
    EXPECT_STREQ(m_file.GetStringAt(), "old content");
}

TEST_F(ImpFileTest, FilesOfTwoGibibytesOrMoreAreRefused) {
    std::string largest = m_dir + "/largest.bin";
    std::string tooLarge = m_dir + "/too-large.bin";
    if (!WriteSparse(largest, INT32_MAX) || !WriteSparse(tooLarge, off_t{INT32_MAX} + 1))
        GTEST_SKIP() << "no sparse files here";

    ASSERT_TRUE(m_file.Open(largest.c_str(), 0));
    EXPECT_EQ(m_file.Seek(0, CImpFile::end), INT32_MAX);
    EXPECT_EQ(m_file.Seek(1, CImpFile::current), -1);
    EXPECT_EQ(m_file.Seek(1, CImpFile::end), -1);
    EXPECT_EQ(m_file.GetPosition(), INT32_MAX);
    EXPECT_EQ(m_file.Seek(-INT32_MAX, CImpFile::current), 0);

    EXPECT_FALSE(m_file.Open(tooLarge.c_str(), 0));
    EXPECT_FALSE(m_file.IsOpen());
}

}  // namespace
