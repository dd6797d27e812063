// Makes the registry calls of a block one change of the hive of `key` (RegBeginBatch /
// RegEndBatch): one file lock and one save for many values. Lives on the stack of
// the thread that makes the calls.
#pragma once

#include "kinbook/foundation/Registry.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CRegistryBatch {
public:
    explicit CRegistryBatch(HKEY key) : m_key(key) { RegBeginBatch(m_key); }
    ~CRegistryBatch() { RegEndBatch(m_key); }
    CRegistryBatch(const CRegistryBatch&) = delete;
    CRegistryBatch& operator=(const CRegistryBatch&) = delete;

private:
    HKEY m_key;
};
