#include "kinbook/foundation/MapStringToPtrI.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// prefix + decimal number, built by appending: GCC 12 at -O3 reports a false -Wrestrict
// overlap for a short literal added to a temporary string.
std::string Numbered(const char* prefix, int number) {
    std::string text(prefix);
    text += std::to_string(number);
    return text;
}

// Exposes the bucket search.
class CProbeMap : public CMapStringToPtrI {
public:
    using CMapStringToPtrI::CMapStringToPtrI;
    using CMapStringToPtrI::GetAssocAt;
};

// Puts every key into one bucket.
class COneBucketMap : public CMapStringToPtrI {
public:
    uint32_t HashKey(const char*) const override { return 7; }
};

class MapStringToPtrITest : public ::testing::Test {
protected:
    // Every entry the iteration yields, with how often it was seen.
    static std::map<std::string, int> Visit(const CMapStringToPtrI& map) {
        std::map<std::string, int> seen;
        CMapStringToPtrI::POSITION position = map.GetStartPosition();
        while (position != nullptr) {
            std::string key;
            void* value = nullptr;
            map.GetNextAssoc(position, key, value);
            ++seen[key];
        }
        return seen;
    }

    CProbeMap m_map;
    int m_one = 1;
    int m_two = 2;
};

struct SHashCase {
    const char* key;
    uint32_t hash;
};

TEST_F(MapStringToPtrITest, HashFoldsAsciiLettersAndTakesHighBytesAsNegative) {
    const SHashCase cases[] = {
        {"", 0},
        {"A", 97},
        {"a", 97},
        {"ab", 97 * 33 + 98},
        {"AB", 3299},
        {"\xC4", 4294967236u},      // Latin-1 A-umlaut: -60, not lowered
        {"\xC3\xA9", 4294965196u},  // UTF-8 e-acute: (-61) * 33 + (-87)
        {"\xC3\x89", 4294965164u},  // UTF-8 E-acute: (-61) * 33 + (-119)
        {"Caf\xC3\xA9", 121001046u},
        {"bob@example.com", 3217443884u},  // wraps around 32 bits
        {"BOB@Example.COM", 3217443884u},
    };
    for (const SHashCase& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(m_map.HashKey(c.key), c.hash);
    }
}

TEST_F(MapStringToPtrITest, BucketIsTheHashModuloTheTableSize) {
    UINT bucket = 999;
    EXPECT_EQ(m_map.GetAssocAt("A", bucket), nullptr);  // no table yet
    EXPECT_EQ(bucket, 97u % 17);
    EXPECT_EQ(m_map.GetHashTableSize(), 17u);
    m_map.InitHashTable(10);
    m_map["a"] = &m_one;
    EXPECT_NE(m_map.GetAssocAt("A", bucket), nullptr);
    EXPECT_EQ(bucket, 7u);
    EXPECT_EQ(m_map.GetAssocAt("\xC3\xA9", bucket), nullptr);
    EXPECT_EQ(bucket, 4294965196u % 10);

    m_map.InitHashTable(3);  // ignored once the map holds entries
    EXPECT_EQ(m_map.GetHashTableSize(), 10u);
}

TEST_F(MapStringToPtrITest, LookupIgnoresCaseAndTheKeyKeepsItsFirstCase) {
    m_map["Bob@Example.com"] = &m_one;
    void* value = nullptr;
    ASSERT_TRUE(m_map.Lookup("bob@EXAMPLE.COM", value));
    EXPECT_EQ(value, &m_one);
    const char* stored = nullptr;
    ASSERT_TRUE(m_map.LookupKey("BOB@example.com", stored));
    EXPECT_STREQ(stored, "Bob@Example.com");

    EXPECT_EQ(m_map["BOB@EXAMPLE.COM"], &m_one);
    m_map.SetAt("bob@example.com", &m_two);
    EXPECT_EQ(m_map.GetCount(), 1);
    ASSERT_TRUE(m_map.LookupKey("bob@example.com", stored));
    EXPECT_STREQ(stored, "Bob@Example.com");
    ASSERT_TRUE(m_map.Lookup("Bob@Example.com", value));
    EXPECT_EQ(value, &m_two);

    EXPECT_FALSE(m_map.Lookup("bob@example.co", value));
    EXPECT_FALSE(m_map.Lookup("bob@example.comm", value));

    // Removing needs the stored case.
    m_map["Alice"] = &m_one;
    EXPECT_FALSE(m_map.RemoveKey("alice"));
    EXPECT_FALSE(m_map.RemoveKey("ALICE"));
    EXPECT_EQ(m_map.GetCount(), 2);
    EXPECT_TRUE(m_map.Lookup("alice", value));

    EXPECT_TRUE(m_map.RemoveKey("Alice"));
    EXPECT_EQ(m_map.GetCount(), 1);
    EXPECT_FALSE(m_map.Lookup("alice", value));
    EXPECT_FALSE(m_map.RemoveKey("Alice"));
}

TEST_F(MapStringToPtrITest, BytesOutsideAsciiCompareExactlyAndNewKeysHoldNull) {
    m_map["caf\xC3\xA9"] = &m_one;  // UTF-8 "cafe" with e-acute
    void* value = nullptr;
    EXPECT_TRUE(m_map.Lookup("CAF\xC3\xA9", value));
    EXPECT_FALSE(m_map.Lookup("CAF\xC3\x89", value));  // capital E-acute is another key
    EXPECT_FALSE(m_map.Lookup("caf\xC3", value));      // never a part of a sequence

    m_map["\xE4rger"] = &m_two;  // Latin-1 a-umlaut
    EXPECT_FALSE(m_map.Lookup("\xC4rger", value));
    EXPECT_TRUE(m_map.Lookup("\xE4RGER", value));
    EXPECT_EQ(value, &m_two);
    EXPECT_EQ(m_map.GetCount(), 2);

    EXPECT_EQ(m_map["x"], nullptr);
    ASSERT_TRUE(m_map.Lookup("X", value));
    EXPECT_EQ(value, nullptr);
    m_map[""] = &m_one;  // the empty key is a key
    ASSERT_TRUE(m_map.Lookup("", value));
    EXPECT_EQ(value, &m_one);
    EXPECT_EQ(m_map.GetCount(), 4);
}

TEST_F(MapStringToPtrITest, ManyKeysAcrossTableSizesAreEachFoundAndVisitedOnce) {
    const int kKeys = 2000;
    std::vector<int> slots(kKeys);
    for (UINT size : {1u, 10u, 17u, 257u}) {
        SCOPED_TRACE(size);
        CMapStringToPtrI map;
        map.InitHashTable(size);
        for (int i = 0; i < kKeys; ++i) map[Numbered("Key", i).c_str()] = &slots[i];
        ASSERT_EQ(map.GetCount(), kKeys);
        for (int i = 0; i < kKeys; ++i) {
            void* value = nullptr;
            ASSERT_TRUE(map.Lookup(Numbered("KEY", i).c_str(), value)) << i;
            ASSERT_EQ(value, &slots[i]);
        }
        std::map<std::string, int> seen = Visit(map);
        ASSERT_EQ(seen.size(), static_cast<size_t>(kKeys));
        for (const auto& [key, times] : seen) EXPECT_EQ(times, 1) << key;
        EXPECT_EQ(seen.count("Key0"), 1u);

        // Removing every other key leaves the rest reachable.
        for (int i = 0; i < kKeys; i += 2)
            ASSERT_TRUE(map.RemoveKey(Numbered("Key", i).c_str()));
        EXPECT_EQ(map.GetCount(), kKeys / 2);
        EXPECT_EQ(Visit(map).size(), static_cast<size_t>(kKeys / 2));
        void* value = nullptr;
        EXPECT_FALSE(map.Lookup("key4", value));
        EXPECT_TRUE(map.Lookup("key5", value));
    }
}

TEST_F(MapStringToPtrITest, EntryJustVisitedMayBeRemoved) {
    for (int i = 0; i < 100; ++i) m_map[Numbered("k", i).c_str()] = &m_one;
    int visited = 0;
    CMapStringToPtrI::POSITION position = m_map.GetStartPosition();
    while (position != nullptr) {
        std::string key;
        void* value = nullptr;
        m_map.GetNextAssoc(position, key, value);
        ASSERT_TRUE(m_map.RemoveKey(key.c_str()));
        ++visited;
    }
    EXPECT_EQ(visited, 100);
    EXPECT_TRUE(m_map.IsEmpty());
}

TEST_F(MapStringToPtrITest, OverriddenHashIsUsedForEveryOperation) {
    COneBucketMap map;
    map["One"] = &m_one;
    map["Two"] = &m_two;
    void* value = nullptr;
    ASSERT_TRUE(map.Lookup("two", value));
    EXPECT_EQ(value, &m_two);
    EXPECT_FALSE(map.RemoveKey("one"));
    EXPECT_TRUE(map.RemoveKey("One"));
    EXPECT_EQ(Visit(map), (std::map<std::string, int>{{"Two", 1}}));
}

TEST_F(MapStringToPtrITest, RemoveAllEmptiesTheMapAndItCanBeFilledAgain) {
    EXPECT_EQ(m_map.GetStartPosition(), nullptr);
    m_map.RemoveAll();  // on a map that never had a table
    for (int i = 0; i < 50; ++i) m_map[Numbered("k", i).c_str()] = &m_one;
    m_map.RemoveAll();
    EXPECT_EQ(m_map.GetCount(), 0);
    EXPECT_TRUE(m_map.IsEmpty());
    EXPECT_EQ(m_map.GetStartPosition(), nullptr);
    void* value = nullptr;
    EXPECT_FALSE(m_map.Lookup("k1", value));
    EXPECT_FALSE(m_map.RemoveKey("k1"));

    m_map.InitHashTable(5);
    EXPECT_EQ(m_map.GetHashTableSize(), 5u);
    m_map["K1"] = &m_two;
    ASSERT_TRUE(m_map.Lookup("k1", value));
    EXPECT_EQ(value, &m_two);
    EXPECT_EQ(Visit(m_map), (std::map<std::string, int>{{"K1", 1}}));
}

}  // namespace
