#include "kinbook/foundation/MapStringToPtrI.h"

#include <cstring>

#include "kinbook/foundation/TextHelpers.h"

// One entry; entries of a bucket are chained, the newest first.
struct CMapStringToPtrI::SAssoc {
    SAssoc* next;
    uint32_t hash;  // HashKey of the key, kept so iteration can find the next bucket
    std::string key;
    void* value;
};

namespace {

const char* OrEmpty(const char* key) {
    return key != nullptr ? key : "";
}

}  // namespace

CMapStringToPtrI::CMapStringToPtrI(int blockSize) : m_blockSize(blockSize > 0 ? blockSize : 10) {}

CMapStringToPtrI::~CMapStringToPtrI() {
    RemoveAll();
}

// Only ASCII letters are lowered; a byte of 0x80 or more counts as the negative value
// of a signed char, so the bytes of a UTF-8 or Latin-1 letter hash as they are.
uint32_t CMapStringToPtrI::HashKey(const char* key) const {
    uint32_t hash = 0;
    for (const char* p = OrEmpty(key); *p != '\0'; ++p) {
        signed char c = static_cast<signed char>(*p);
        if (c >= 'A' && c <= 'Z')
            c = static_cast<signed char>(c - 'A' + 'a');
        hash = hash * 33 + static_cast<uint32_t>(static_cast<int32_t>(c));
    }
    return hash;
}

CMapStringToPtrI::SAssoc* CMapStringToPtrI::GetAssocAt(const char* key, UINT& bucket) const {
    key = OrEmpty(key);
    uint32_t hash = HashKey(key);
    bucket = hash % m_hashTableSize;
    if (m_table.empty())
        return nullptr;
    for (SAssoc* assoc = m_table[bucket]; assoc != nullptr; assoc = assoc->next) {
        if (CompareNoCase(assoc->key.c_str(), key) == 0)
            return assoc;
    }
    return nullptr;
}

BOOL CMapStringToPtrI::Lookup(const char* key, void*& value) const {
    UINT bucket;
    SAssoc* assoc = GetAssocAt(key, bucket);
    if (assoc == nullptr)
        return FALSE;
    value = assoc->value;
    return TRUE;
}

BOOL CMapStringToPtrI::LookupKey(const char* key, const char*& storedKey) const {
    UINT bucket;
    SAssoc* assoc = GetAssocAt(key, bucket);
    if (assoc == nullptr)
        return FALSE;
    storedKey = assoc->key.c_str();
    return TRUE;
}

void*& CMapStringToPtrI::operator[](const char* key) {
    key = OrEmpty(key);
    UINT bucket;
    SAssoc* assoc = GetAssocAt(key, bucket);
    if (assoc != nullptr)
        return assoc->value;
    if (m_table.empty())
        m_table.assign(m_hashTableSize, nullptr);
    assoc = new SAssoc{m_table[bucket], HashKey(key), key, nullptr};
    m_table[bucket] = assoc;
    ++m_count;
    return assoc->value;
}

BOOL CMapStringToPtrI::RemoveKey(const char* key) {
    key = OrEmpty(key);
    if (m_table.empty())
        return FALSE;
    SAssoc** link = &m_table[HashKey(key) % m_hashTableSize];
    for (SAssoc* assoc = *link; assoc != nullptr; link = &assoc->next, assoc = *link) {
        if (std::strcmp(assoc->key.c_str(), key) == 0) {
            *link = assoc->next;
            delete assoc;
            --m_count;
            return TRUE;
        }
    }
    return FALSE;
}

void CMapStringToPtrI::RemoveAll() {
    for (SAssoc* assoc : m_table) {
        while (assoc != nullptr) {
            SAssoc* next = assoc->next;
            delete assoc;
            assoc = next;
        }
    }
    m_table.clear();
    m_table.shrink_to_fit();
    m_count = 0;
}

void CMapStringToPtrI::InitHashTable(UINT size) {
    if (m_count != 0 || size == 0)
        return;
    m_table.clear();
    m_hashTableSize = size;
}

CMapStringToPtrI::POSITION CMapStringToPtrI::GetStartPosition() const {
    for (SAssoc* assoc : m_table) {
        if (assoc != nullptr)
            return assoc;
    }
    return nullptr;
}

void CMapStringToPtrI::GetNextAssoc(POSITION& position, std::string& key, void*& value) const {
    SAssoc* assoc = position;
    if (assoc == nullptr)
        return;
    key = assoc->key;
    value = assoc->value;
    SAssoc* next = assoc->next;
    for (UINT bucket = assoc->hash % m_hashTableSize + 1;
         next == nullptr && bucket < m_table.size(); ++bucket)
        next = m_table[bucket];
    position = next;
}
