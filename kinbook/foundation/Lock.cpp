#include "kinbook/foundation/Lock.h"

CLock::CLock(CSync* sync) : m_sync(sync) {
    m_sync->GetLock();
}

CLock::~CLock() {
    m_sync->ReleaseLock();
}
