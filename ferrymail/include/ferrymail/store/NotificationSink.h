// Where notifications go (the user interface registers one). Post is called on the
// notifying thread, possibly with a store lock held: it must queue and return at once.
// `object`, when not null, carries one reference that now belongs to the sink, which
// drops it with CRefCount::DoRelease after use.
#pragma once

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/RefCount.h"
#include "kinbook/foundation/Types.h"

class INotificationSink {
public:
    virtual ~INotificationSink() = default;
    virtual void Post(UINT message, UINT wParam, long data, CRefCount* object) = 0;
};
