// Takes a lock for the lifetime of a block.
#pragma once

#include "kinbook/foundation/Sync.h"

class KINBOOK_API CLock {
public:
    explicit CLock(CSync* sync);
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CSync* m_sync;
};
