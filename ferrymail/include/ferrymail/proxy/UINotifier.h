// The receiver of the proxy sessions' notifications for the user interface: the message
// database implements it and installs itself with SetUINotifier. Called from any session
// thread; an implementation posts and never waits for the user interface.
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/RefCount.h"
#include "kinbook/foundation/Types.h"

class CUINotifier {
public:
    virtual ~CUINotifier();
    // `wParam` is (store identifier << 16) | code. The callee takes its own references
    // to `object`; the caller's stay untouched.
    virtual void NotifyUI(UINT wParam, CRefCount* object) = 0;
    virtual void NotifyUI(UINT wParam, const std::string& text) = 0;
    // A notification about `store` (a message store, or null) with a number; the caller
    // holds a reference to the store for the duration of the call.
    virtual void NotifyUI(int code, CRefCount* store, int data) = 0;
};

// Installs the process's notifier (null removes it); returns the previous one. The
// notifier must stay valid until it is removed and no session still uses it.
CUINotifier* SetUINotifier(CUINotifier* notifier);
CUINotifier* GetUINotifier();
