// Map from text keys to pointers whose keys compare without regard to ASCII case; the
// key keeps the case it was first stored with. Not shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CMapStringToPtrI {
public:
    // An opaque iteration position; null ends an iteration.
    struct SAssoc;
    using POSITION = SAssoc*;

    // `blockSize` is the toolkit's allocation hint; entries are allocated one at a time.
    explicit CMapStringToPtrI(int blockSize = 10);
    virtual ~CMapStringToPtrI();
    CMapStringToPtrI(const CMapStringToPtrI&) = delete;
    CMapStringToPtrI& operator=(const CMapStringToPtrI&) = delete;

    // h = h * 33 + tolower(c) over the bytes taken as signed chars, in 32 bits.
    virtual uint32_t HashKey(const char* key) const;

    BOOL Lookup(const char* key, void*& value) const;
    BOOL LookupKey(const char* key, const char*& storedKey) const;
    // The value of `key`, made (null) when missing; a new key is stored as given.
    void*& operator[](const char* key);
    void SetAt(const char* key, void* value) { (*this)[key] = value; }
    // Removes the entry only when its stored key has exactly the case of `key`.
    BOOL RemoveKey(const char* key);
    void RemoveAll();

    int GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }
    UINT GetHashTableSize() const { return m_hashTableSize; }
    // Sizes the table before first use (later calls on a filled map are ignored).
    void InitHashTable(UINT size);

    // Visits every entry once, in no particular order. The entry just returned may be
    // removed before the next call; other changes end the iteration's validity.
    POSITION GetStartPosition() const;
    void GetNextAssoc(POSITION& position, std::string& key, void*& value) const;

protected:
    // The entry for `key` (case ignored) or null; `bucket` gets the key's bucket.
    virtual SAssoc* GetAssocAt(const char* key, UINT& bucket) const;

private:
    std::vector<SAssoc*> m_table;  // empty until first use
    UINT m_hashTableSize = 17;
    int m_count = 0;
    int m_blockSize;
};
