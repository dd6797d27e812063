#include "proxy/DatabaseNotifier.h"

#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/Sync.h"

namespace {

struct SHolders {
    CCritical lock;
    int count = 0;                          // guarded by lock
    CUINotifier* previous = nullptr;        // guarded by lock
};

SHolders& Holders() {
    static SHolders* holders = new SHolders;  // lives until the process ends
    return *holders;
}

CDatabaseNotifier& Instance() {
    static CDatabaseNotifier* instance = new CDatabaseNotifier;  // as Holders
    return *instance;
}

}  // namespace

void CDatabaseNotifier::Acquire() {
    SHolders& holders = Holders();
    CLock guard(&holders.lock);
    if (holders.count++ == 0)
        holders.previous = SetUINotifier(&Instance());
}

void CDatabaseNotifier::Release() {
    SHolders& holders = Holders();
    CLock guard(&holders.lock);
    if (holders.count == 0 || --holders.count > 0)
        return;
    // A notifier installed over this one since stays.
    if (GetUINotifier() == &Instance())
        SetUINotifier(holders.previous);
    holders.previous = nullptr;
}

void CDatabaseNotifier::NotifyUI(UINT wParam, CRefCount* object) {
    CMessageDatabase::GetMessageDatabase()->NotifyUI(wParam, object);
}

void CDatabaseNotifier::NotifyUI(UINT wParam, const std::string& text) {
    CMessageDatabase::GetMessageDatabase()->NotifyUI(wParam, text);
}

void CDatabaseNotifier::NotifyUI(int code, CRefCount* store, int data) {
    CMessageDatabase::GetMessageDatabase()->NotifyUI(static_cast<MSG_NOTIFICATION>(code),
                                                     dynamic_cast<CMessageStore*>(store), data);
}
