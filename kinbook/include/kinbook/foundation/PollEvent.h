// An event that a thread can wait for together with sockets: an eventfd whose handle
// goes into a poll() set. Any thread may signal it; the thread that handles it resets it
// (auto-reset use) or leaves it signalled for good (a "thread ended" event).
#pragma once

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CPollEvent {
public:
    CPollEvent();
    ~CPollEvent();
    CPollEvent(const CPollEvent&) = delete;
    CPollEvent& operator=(const CPollEvent&) = delete;

    // False when the system had no event to give (the handle is then -1).
    bool IsValid() const { return m_handle >= 0; }
    // The handle to wait on (readable while signalled).
    int GetHandle() const { return m_handle; }

    BOOL Signal();
    // Clears the event; 1 when it was signalled.
    BOOL Reset();
    // 1 when signalled now or within `milliseconds` (INFINITE waits without limit); the
    // event stays signalled.
    BOOL Wait(DWORD milliseconds) const;

private:
    int m_handle;
};
