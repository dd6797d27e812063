// The abstract lock that CCritical and CMutualExclusion implement and CLock takes; this
// header also brings in those classes and CSem. Each lock object may be shared between
// threads; a thread may take a CCritical or CMutualExclusion again while it holds it.
#pragma once

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// Abstract lock: GetLock and ReleaseLock return 1 on success.
class KINBOOK_API CSync {
public:
    virtual ~CSync();
    virtual BOOL GetLock() = 0;
    virtual BOOL ReleaseLock() = 0;
};

// The lock classes built on CSync, and the scoped lock.
#include "kinbook/foundation/Critical.h"
#include "kinbook/foundation/Lock.h"
#include "kinbook/foundation/MutualExclusion.h"
#include "kinbook/foundation/Sem.h"
