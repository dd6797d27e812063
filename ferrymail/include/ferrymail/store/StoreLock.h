// Takes a store's lock for a block; taken for modification, it marks the store dirty
// when released. Lives on the stack of the thread that takes the lock.
#pragma once

#include "ferrymail/ferrymail_export.h"

class CRecordStore;

class FERRYMAIL_API CStoreLock {
public:
    CStoreLock(CRecordStore* store, bool modify);
    ~CStoreLock();
    CStoreLock(const CStoreLock&) = delete;
    CStoreLock& operator=(const CStoreLock&) = delete;

private:
    CRecordStore* m_store;
    bool m_modify;
};
