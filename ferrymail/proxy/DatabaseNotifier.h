// Hands the proxy sessions' notifications to the message database, whose sinks receive
// them. One process-wide instance, installed as the UI notifier while at least one
// listener holds it (the POP3 and SMTP listeners each hold it from construction to
// destruction, in any order). Acquire and Release take the instance's own lock; the
// notifications may come from any session thread.
#pragma once

#include <string>

#include "ferrymail/proxy/UINotifier.h"

class CDatabaseNotifier : public CUINotifier {
public:
    // The first holder installs the instance (remembering the notifier it replaced);
    // the last one puts that one back.
    static void Acquire();
    static void Release();

    void NotifyUI(UINT wParam, CRefCount* object) override;
    void NotifyUI(UINT wParam, const std::string& text) override;
    void NotifyUI(int code, CRefCount* store, int data) override;
};
