#include "kinbook/foundation/Critical.h"

CCritical::CCritical() = default;
CCritical::~CCritical() = default;

BOOL CCritical::GetLock() {
    m_mutex.lock();
    return TRUE;
}

BOOL CCritical::ReleaseLock() {
    m_mutex.unlock();
    return TRUE;
}

BOOL CCritical::TryLock() {
    return m_mutex.try_lock() ? TRUE : FALSE;
}
