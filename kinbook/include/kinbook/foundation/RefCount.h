// Intrusive reference count for objects shared between threads. The count starts at 0;
// owners drop their reference with DoRelease, which deletes at 0.
#pragma once

#include <atomic>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CRefCount {
public:
    CRefCount() = default;
    virtual ~CRefCount();
    CRefCount(const CRefCount&) = delete;
    CRefCount& operator=(const CRefCount&) = delete;

    // Both return the new count; Release never deletes.
    virtual long AddRef();
    virtual long Release();
    long GetRefCount() const { return m_refCount.load(); }

    // Null: 0. Otherwise releases one reference and deletes the object when the count
    // falls to 0 or below (then 1).
    static BOOL DoRelease(CRefCount* p);

private:
    std::atomic<long> m_refCount{0};
};
