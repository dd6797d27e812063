#include "kinbook/foundation/Paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "TestHome.h"

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"QUILLON_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "HOME"}) {
            const char* value = getenv(name);
            m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        unsetenv("QUILLON_HOME");
        ResetUserDataPath();
    }
    void TearDown() override {
        for (auto& [name, value] : m_saved) {
            if (value)
                setenv(name, value->c_str(), 1);
            else
                unsetenv(name);
        }
        ResetUserDataPath();
    }
    std::vector<std::pair<const char*, std::optional<std::string>>> m_saved;
};

bool IsFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST_F(PathsTest, QuillonHomeHoldsDataAndHives) {
    CTestHome home;
    std::string nested = home.Path() + "/a/b";
    setenv("QUILLON_HOME", nested.c_str(), 1);
    ResetUserDataPath();
    EXPECT_EQ(GetUserDataPath(), nested);
    EXPECT_TRUE(IsFolder(nested));
    EXPECT_EQ(GetRegistryFolder(), nested + "/registry");
    EXPECT_TRUE(IsFolder(nested + "/registry"));
    // Computed once per process.
    setenv("QUILLON_HOME", (home.Path() + "/elsewhere").c_str(), 1);
    EXPECT_EQ(GetUserDataPath(), nested);
}

TEST_F(PathsTest, XdgFoldersAndTheirDefaults) {
    CTestHome home;
    unsetenv("QUILLON_HOME");
    setenv("XDG_DATA_HOME", (home.Path() + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.Path() + "/config").c_str(), 1);
    ResetUserDataPath();
    EXPECT_EQ(GetUserDataPath(), home.Path() + "/data/Brevant/Quillon");
    EXPECT_TRUE(IsFolder(home.Path() + "/data/Brevant/Quillon"));
    EXPECT_EQ(GetRegistryFolder(), home.Path() + "/config/Brevant/Quillon");

    // Relative XDG values are ignored, as the XDG rules say; the home folder is used.
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("XDG_CONFIG_HOME", "relative", 1);
    setenv("HOME", home.Path().c_str(), 1);
    ResetUserDataPath();
    EXPECT_EQ(GetUserDataPath(), home.Path() + "/.local/share/Brevant/Quillon");
    EXPECT_EQ(GetRegistryFolder(), home.Path() + "/.config/Brevant/Quillon");
}

TEST_F(PathsTest, DataPathThatCannotBeMadeIsEmpty) {
    CTestHome home;
    ASSERT_EQ(WriteFileAtomically(home.Path() + "/file", "x"), 0);
    setenv("QUILLON_HOME", (home.Path() + "/file/below").c_str(), 1);
    ResetUserDataPath();
    EXPECT_EQ(GetUserDataPath(), "");
}

TEST_F(PathsTest, AtomicWriteReplacesWholeOrNothing) {
    CTestHome home;
    std::string path = home.Path() + "/data.txt";
    ASSERT_EQ(WriteFileAtomically(path, "first"), 0);
    ASSERT_EQ(WriteFileAtomically(path, std::string(100000, 'x')), 0);
    std::string contents;
    ASSERT_TRUE(ReadWholeFile(path, contents));
    EXPECT_EQ(contents, std::string(100000, 'x'));

    // A target that cannot be replaced (a folder) keeps its old state and leaves no
    // temporary file behind.
    ASSERT_TRUE(MakeFolders(home.Path() + "/folder"));
    EXPECT_NE(WriteFileAtomically(home.Path() + "/folder", "data"), 0);
    EXPECT_TRUE(IsFolder(home.Path() + "/folder"));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(home.Path()))
        ++entries;
    EXPECT_EQ(entries, 2);  // data.txt and folder
    EXPECT_NE(WriteFileAtomically(home.Path() + "/missing/file", "x"), 0);
}

}  // namespace
