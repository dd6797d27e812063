#include "ferrymail/proxy/UINotifier.h"

#include <atomic>

namespace {
std::atomic<CUINotifier*> g_notifier{nullptr};
}

CUINotifier::~CUINotifier() = default;

CUINotifier* SetUINotifier(CUINotifier* notifier) { return g_notifier.exchange(notifier); }

CUINotifier* GetUINotifier() { return g_notifier.load(); }
