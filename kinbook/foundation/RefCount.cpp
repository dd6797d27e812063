#include "kinbook/foundation/RefCount.h"

CRefCount::~CRefCount() = default;

long CRefCount::AddRef() { return m_refCount.fetch_add(1) + 1; }

long CRefCount::Release() { return m_refCount.fetch_sub(1) - 1; }

BOOL CRefCount::DoRelease(CRefCount* p) {
    if (p == nullptr)
        return FALSE;
    if (p->Release() > 0)
        return FALSE;
    delete p;
    return TRUE;
}
