#include "ferrymail/store/StoreLock.h"

#include "ferrymail/store/RecordStore.h"

CStoreLock::CStoreLock(CRecordStore* store, bool modify) : m_store(store), m_modify(modify) {
    m_store->m_lock.GetLock();
}

CStoreLock::~CStoreLock() {
    if (m_modify)
        m_store->m_dirty = 1;
    m_store->m_lock.ReleaseLock();
}
