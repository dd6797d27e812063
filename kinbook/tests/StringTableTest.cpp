#include "kinbook/foundation/StringTable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

const SStringEntry kCallerStrings[] = {{100, "caller 100"}, {101, "caller 101"}, {102, nullptr}};
const SStringModule kCallerModule = {"caller", kCallerStrings, 3};

const SStringEntry kResourceStrings[] = {{101, "resource 101"}, {200, "resource 200"}};
const SStringModule kResourceModule = {"resource", kResourceStrings, 2};

const SStringEntry kMainStrings[] = {{200, "main 200"}, {300, "main 300"}};
const SStringModule kMainModule = {"main", kMainStrings, 2};

const SStringModule kEmptyModule = {"empty", nullptr, 0};

class StringTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetResourceModule(nullptr);
        SetMainModule(nullptr);
    }
    void TearDown() override {
        SetResourceModule(nullptr);
        SetMainModule(nullptr);
    }

    // The text found for `id`, or "(none)".
    static std::string Load(HINSTANCE module, UINT id) {
        std::string text = "stale";
        if (!LoadLocalString(module, id, text)) {
            EXPECT_EQ(text, "");
            return "(none)";
        }
        return text;
    }
};

TEST_F(StringTableTest, GivenModuleComesFirst) {
    EXPECT_EQ(Load(&kCallerModule, 100), "caller 100");
    EXPECT_EQ(Load(&kCallerModule, 102), "");  // an entry without text is an empty text
    EXPECT_EQ(Load(&kCallerModule, 999), "(none)");
    EXPECT_EQ(Load(&kEmptyModule, 100), "(none)");
    EXPECT_EQ(Load(nullptr, 100), "(none)");
}

TEST_F(StringTableTest, SearchGoesOnToTheResourceModuleThenTheMainModule) {
    SetResourceModule(&kResourceModule);
    SetMainModule(&kMainModule);
    EXPECT_EQ(Load(&kCallerModule, 101), "caller 101");  // the caller's own text wins
    EXPECT_EQ(Load(&kCallerModule, 200), "resource 200");
    EXPECT_EQ(Load(&kCallerModule, 300), "main 300");
    EXPECT_EQ(Load(&kCallerModule, 301), "(none)");
    EXPECT_EQ(Load(&kResourceModule, 101), "resource 101");
    EXPECT_EQ(Load(&kMainModule, 101), "resource 101");
}

TEST_F(StringTableTest, MainModuleOnlyWhenAModuleWasGiven) {
    SetMainModule(&kMainModule);
    EXPECT_EQ(Load(nullptr, 300), "(none)");
    EXPECT_EQ(Load(&kEmptyModule, 300), "main 300");
    SetResourceModule(&kResourceModule);
    EXPECT_EQ(Load(nullptr, 200), "resource 200");
    EXPECT_EQ(Load(nullptr, 300), "(none)");
}

TEST_F(StringTableTest, ErrorNumbersBecomeTheSystemsText) {
    std::string text = "stale";
    ASSERT_TRUE(GetErrorString(ECONNREFUSED, text));
    EXPECT_EQ(text, "Connection refused");
    // No text for zero or unknown numbers.
    for (DWORD code : {DWORD{0}, DWORD{9999}, DWORD{0x7FFFFFFF}, DWORD{0xFFFFFFFF}}) {
        text = "stale";
        EXPECT_FALSE(GetErrorString(code, text)) << code;
        EXPECT_EQ(text, "") << code;
    }
}

}  // namespace
