#include "kinbook/foundation/Registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "TestHome.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

// prefix + decimal number, built by appending: GCC 12 at -O3 reports a false -Wrestrict
// overlap for a short literal added to a temporary string.
std::string Numbered(const char* prefix, int number) {
    std::string text(prefix);
    text += std::to_string(number);
    return text;
}

const std::string kRegtool = std::string(QUILLON_BIN_DIR) + "/regtool";

class RegistryTest : public ::testing::Test {
protected:
    CTestHome m_home;
};

std::mutex s_logMutex;
std::vector<std::string> s_logLines;

void CaptureLog(const char* line) {
    std::lock_guard<std::mutex> guard(s_logMutex);
    s_logLines.push_back(line);
}

TEST_F(RegistryTest, EveryValueTypeSurvivesIntoAnotherProcess) {
    ASSERT_EQ(RunProgram({kRegtool, "write-all"}), 0);

    std::string dump;
    ASSERT_EQ(RunProgram({kRegtool, "dump"}, &dump), 0);
    // Key and value names enumerate in name order without regard to case.
    EXPECT_EQ(dump,
              "[]\n"
              "[Software]\n"
              "[Software\\Brevant]\n"
              "[Software\\Brevant\\Quillon]\n"
              "[Software\\Brevant\\Quillon\\Clients]\n"
              "[Software\\Brevant\\Quillon\\Clients\\A]\n"
              "[Software\\Brevant\\Quillon\\Clients\\A\\B]\n"
              "  \"Deep\" type 4: 07 00 00 00\n"
              "[Software\\Brevant\\Quillon\\EmptyKey]\n"
              "[Software\\Brevant\\Quillon\\Settings]\n"
              "  \"\" type 1: 64 65 66 61 75 6c 74 00\n"
              "  \"Bytes\" type 3: 00 01 7f 80 ff 00\n"
              "  \"Empty\" type 1: 00\n"
              "  \"Negative\" type 4: ff ff ff ff\n"
              "  \"Number\" type 4: 3e 08 00 00\n"
              "  \"Path\" type 2: 25 51 55 49 4c 4c 4f 4e 5f 48 4f 4d 45 25 2f 6d 61 69 6c 00\n"
              "  \"Ratio\" type 3: 00 00 00 00 00 00 f8 3f\n"
              "  \"Text\" type 1: 70 6c 61 69 6e 20 22 71 75 6f 74 65 64 22 20 62 61 63 6b 5c 73 "
              "6c 61 73 68 09 74 61 62 0a 6c 69 6e 65 20 c3 a9 74 c3 a9 00\n");

    // This process sees what the other one wrote, through the typed reads.
    CRegistryKey key;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, "SOFTWARE\\brevant\\QUILLON\\settings", KEY_READ));
    std::string text;
    EXPECT_TRUE(key.QueryValue("text", text));
    EXPECT_EQ(text, "plain \"quoted\" back\\slash\ttab\nline \xc3\xa9t\xc3\xa9");
    EXPECT_TRUE(key.QueryValue("Path", text));
    EXPECT_EQ(text, m_home.Path() + "/mail");
    int number = 0;
    EXPECT_TRUE(key.QueryValue("Negative", number, FALSE));
    EXPECT_EQ(number, -1);
    double ratio = 0;
    EXPECT_TRUE(key.QueryValue("Ratio", ratio));
    EXPECT_EQ(ratio, 1.5);
    CRegistryKey machine;
    ASSERT_TRUE(machine.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevant\\Quillon", KEY_READ));
    EXPECT_TRUE(machine.QueryValue("InstallationDir", text));
    EXPECT_EQ(text, "/opt/quillon");
}

TEST_F(RegistryTest, ProcessesWritingAtOnceLoseNothing) {
    CRegistryKey key;
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, "Stress"));
    std::thread other([] { EXPECT_EQ(RunProgram({kRegtool, "write-many", "child", "150"}), 0); });
    for (int i = 0; i < 150; ++i)
        ASSERT_TRUE(key.SetValue(Numbered("parent-", i).c_str(), i));
    other.join();

    RegResetHives();
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKey(key, nullptr, nullptr, &values, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(values, 300u);
    int number = -1;
    EXPECT_TRUE(key.QueryValue("child-149", number, FALSE));
    EXPECT_EQ(number, 149);
}

TEST_F(RegistryTest, HiveStaysReadableWhileThreadsWrite) {
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 100;
    std::atomic<bool> writing{true};
    std::atomic<int> reads{0};
    std::string failure;
    std::thread reader([&] {
        while (writing.load()) {
            std::string error;
            if (std::filesystem::exists(m_home.HiveFile()) &&
                !RegCheckHiveFile(m_home.HiveFile(), error)) {
                failure = error;
                return;
            }
            ++reads;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            CRegistryKey key;
            ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER,
                                          Numbered("Software\\Writer", w).c_str()));
            for (int i = 0; i < kValuesEach; ++i)
                ASSERT_TRUE(key.SetValue(Numbered("v", i).c_str(), i * w));
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    writing = false;
    reader.join();
    EXPECT_EQ(failure, "");
    EXPECT_GT(reads.load(), 0);

    RegResetHives();  // read back from the file alone
    for (int w = 0; w < kWriters; ++w) {
        CRegistryKey key;
        ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, Numbered("Software\\Writer", w).c_str()));
        for (int i = 0; i < kValuesEach; ++i) {
            int number = -1;
            ASSERT_TRUE(key.QueryValue(Numbered("v", i).c_str(), number, FALSE));
            EXPECT_EQ(number, i * w);
        }
    }
}

TEST_F(RegistryTest, UnreadableHiveIsKeptAsideAndReported) {
    const std::string garbage = "QUILLON-REGISTRY 1\n[Software]\n\"broken\"=dword:12\x01\n";
    ASSERT_TRUE(MakeFolders(m_home.Path() + "/registry"));
    ASSERT_EQ(WriteFileAtomically(m_home.HiveFile(), garbage), 0);
    s_logLines.clear();
    FoundationLogSink previous = SetFoundationLogSink(&CaptureLog);

    CRegistryKey key;
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, "Software"));
    EXPECT_EQ(key.GetLastResult(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, "Software"));
    ASSERT_TRUE(key.SetValue("fresh", 1));
    SetFoundationLogSink(previous);

    std::string asideName;
    for (const auto& entry : std::filesystem::directory_iterator(m_home.Path() + "/registry"))
        if (entry.path().filename().string().rfind("HKEY_CURRENT_USER.reg.corrupt-", 0) == 0)
            asideName = entry.path().string();
    ASSERT_FALSE(asideName.empty());
    std::string kept;
    ASSERT_TRUE(ReadWholeFile(asideName, kept));
    EXPECT_EQ(kept, garbage);
    ASSERT_EQ(s_logLines.size(), 1u);
    EXPECT_NE(s_logLines[0].find(asideName), std::string::npos);
    EXPECT_NE(s_logLines[0].find("line 3"), std::string::npos);
    std::string error;
    EXPECT_TRUE(RegCheckHiveFile(m_home.HiveFile(), error)) << error;
}

TEST_F(RegistryTest, HandEditedFileReads) {
    ASSERT_TRUE(MakeFolders(m_home.Path() + "/registry"));
    ASSERT_EQ(WriteFileAtomically(m_home.HiveFile(),
                                  "QUILLON-REGISTRY 1\r\n"
                                  "; a comment\n"
                                  "\n"
                                  "  [Software\\Brevant]  \n"
                                  "\"Port\"=dword:0000083E\n"
                                  "@=sz:\"default \\x41\"\n"
                                  "\"Odd\"=hex(7):61,00,00\n"
                                  "\"None\"=hex:\n"),
              0);
    CRegistryKey key;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, "Software\\Brevant"));
    int port = 0;
    EXPECT_TRUE(key.QueryValue("port", port, FALSE));
    EXPECT_EQ(port, 2110);
    std::string text;
    EXPECT_TRUE(key.QueryValue(nullptr, text));
    EXPECT_EQ(text, "default A");
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueEx(key, "Odd", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(size, 3u);
    std::vector<BYTE> bytes{1};
    EXPECT_TRUE(key.QueryValue("None", bytes));
    EXPECT_TRUE(bytes.empty());
}

TEST_F(RegistryTest, FileFormatIsStable) {
    CRegistryKey key;
    ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant"));
    ASSERT_TRUE(key.SetValue("Name", "a\"b"));
    ASSERT_TRUE(key.SetValue("Port", 2110));
    ASSERT_TRUE(key.SetValue("Home", "%HOME%", TRUE));
    ASSERT_TRUE(key.SetValue("Bin", std::vector<BYTE>{0xde, 0xad}));
    std::string text;
    ASSERT_TRUE(ReadWholeFile(m_home.HiveFile(), text));
    EXPECT_EQ(text,
              "QUILLON-REGISTRY 1\n"
              "; HKEY_CURRENT_USER of Quillon's registry (see docs/registry-format.md)\n"
              "\n[Software]\n"
              "\n[Software\\Brevant]\n"
              "\"Bin\"=hex:de,ad\n"
              "\"Home\"=expand:\"%HOME%\"\n"
              "\"Name\"=sz:\"a\\\"b\"\n"
              "\"Port\"=dword:0000083e\n");
}

TEST_F(RegistryTest, KeyOperationsFollowTheRegistryRules) {
    CRegistryKey key;
    EXPECT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, "One\\Two\\Three"));
    EXPECT_EQ(key.GetPath(), "One\\Two\\Three");
    ASSERT_TRUE(key.SetValue("x", 1));

    CRegistryKey one;
    ASSERT_TRUE(one.Open(HKEY_CURRENT_USER, "one"));
    EXPECT_FALSE(one.DeleteKey("two"));  // has subkeys
    EXPECT_EQ(one.GetLastResult(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(one.DeleteKey("TWO\\three"));
    // A handle to a deleted key no longer reaches anything.
    int number = 0;
    EXPECT_FALSE(key.QueryValue("x", number, TRUE));
    EXPECT_EQ(key.GetLastResult(), ERROR_KEY_DELETED);
    EXPECT_EQ(number, 0);
    EXPECT_FALSE(key.SetValue("x", 2));

    std::string name;
    BOOL done = FALSE;
    EXPECT_TRUE(one.EnumKey(0, name, done));
    EXPECT_EQ(name, "Two");
    EXPECT_FALSE(one.EnumKey(1, name, done));
    EXPECT_TRUE(done);
    EXPECT_EQ(one.GetLastResult(), ERROR_NO_MORE_ITEMS);

    CRegistryKey readOnly;
    ASSERT_TRUE(readOnly.Open(HKEY_CURRENT_USER, "One", KEY_READ));
    EXPECT_FALSE(readOnly.SetValue("y", 1));
    EXPECT_EQ(readOnly.GetLastResult(), ERROR_ACCESS_DENIED);
    CRegistryKey child;
    EXPECT_FALSE(child.Create(readOnly, "New"));
    EXPECT_TRUE(child.Create(readOnly, "Two"));  // exists: only opened

    EXPECT_FALSE(one.DeleteValue("missing"));
    EXPECT_EQ(one.GetLastResult(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(one.Close());
    EXPECT_FALSE(one.Close());
    EXPECT_FALSE(child.Create(HKEY_CURRENT_USER, "bad\x01name"));
}

TEST_F(RegistryTest, TypedReadsAcceptOnlyTheirTypes) {
    CRegistryKey key;
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, "Types"));
    ASSERT_TRUE(key.SetValue("double", 1.5));
    ASSERT_TRUE(key.SetValue("dword", 0x00434241));
    ASSERT_TRUE(key.SetValue("text", "12"));
    // "Hé" as UTF-16LE with its terminating zero.
    ASSERT_TRUE(key.SetValue("utf16", std::vector<BYTE>{'H', 0, 0xe9, 0, 0, 0}));
    setenv("QUILLON_TEST_VAR", "expanded", 1);
    ASSERT_TRUE(key.SetValue("expand", "<%QUILLON_TEST_VAR%|%NO_SUCH_VAR%|100%>", TRUE));

    double d = 0;
    EXPECT_TRUE(key.QueryValue("double", d));
    EXPECT_EQ(d, 1.5);
    DWORD dw = 99;
    EXPECT_FALSE(key.QueryValue("double", dw));
    EXPECT_EQ(dw, 99u);
    EXPECT_FALSE(key.QueryValue("dword", d));
    int i = 5;
    EXPECT_FALSE(key.QueryValue("text", i, FALSE));
    EXPECT_EQ(i, 5);
    EXPECT_FALSE(key.QueryValue("missing", i, TRUE));
    EXPECT_EQ(i, 0);

    std::string s;
    EXPECT_TRUE(key.QueryValue("expand", s));
    EXPECT_EQ(s, "<expanded|%NO_SUCH_VAR%|100%>");
    EXPECT_FALSE(key.QueryValue("utf16", s));
    EXPECT_TRUE(key.QueryValue("utf16", s, TRUE));
    EXPECT_EQ(s, "H\xc3\xa9");
    EXPECT_FALSE(key.QueryValue("dword", s));
    EXPECT_TRUE(key.QueryValue("dword", s, TRUE));
    EXPECT_EQ(s, "ABC");

    std::vector<BYTE> bytes;
    EXPECT_TRUE(key.QueryValue("double", bytes));
    EXPECT_EQ(bytes.size(), 8u);
    EXPECT_FALSE(key.QueryValue("text", bytes));
    EXPECT_TRUE(bytes.empty());
    // A value that grew after the longest length was cached still reads whole.
    ASSERT_TRUE(key.SetValue("big", std::vector<BYTE>(1000, 7)));
    EXPECT_TRUE(key.QueryValue("big", bytes));
    EXPECT_EQ(bytes.size(), 1000u);
}

TEST_F(RegistryTest, RawCallsReportSizes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Raw", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const BYTE text[] = "hello";
    ASSERT_EQ(RegSetValueEx(key, "t", REG_SZ, text, sizeof text), ERROR_SUCCESS);
    BYTE small[3];
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueEx(key, "t", nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegSetValueEx(key, "d", REG_DWORD, text, 3), ERROR_INVALID_PARAMETER);
    char name[2];
    DWORD nameSize = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameSize, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "t");
    EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, ""), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

// The hive file is replaced whole on each save: a new inode means a new save.
TEST_F(RegistryTest, UnchangedValueAndBatchesSaveNoMoreThanNeeded) {
    auto inode = [&] {
        struct stat info;
        return stat(m_home.HiveFile().c_str(), &info) == 0 ? info.st_ino : 0;
    };
    CRegistryKey key;
    ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, "Batch"));
    ASSERT_TRUE(key.SetValue("v", 1));
    ino_t before = inode();
    ASSERT_TRUE(key.SetValue("v", 1));
    EXPECT_EQ(inode(), before) << "an unchanged value is not saved";
    {
        CRegistryBatch batch(HKEY_CURRENT_USER);
        {
            CRegistryBatch nested(HKEY_CURRENT_USER);
            for (int i = 0; i < 20; ++i)
                ASSERT_TRUE(key.SetValue(Numbered("v", i).c_str(), i));
        }
        int value = -1;
        EXPECT_TRUE(key.QueryValue("v19", value, FALSE));  // seen inside the batch
        EXPECT_EQ(value, 19);
        EXPECT_EQ(inode(), before) << "nothing written before the end";
    }
    EXPECT_NE(inode(), before);
    std::string dump;
    ASSERT_EQ(RunProgram({kRegtool, "dump"}, &dump), 0);
    EXPECT_NE(dump.find("\"v19\" type 4: 13 00 00 00"), std::string::npos) << dump;
}

}  // namespace
