#include "filter/FilterChain.h"

#include <typeinfo>

#include "ferrymail/store/Message.h"
#include "filter/BadFilter.h"
#include "filter/DomainList.h"
#include "filter/FilterProfile.h"
#include "filter/FriendlyFilter.h"
#include "filter/LinkList.h"
#include "filter/NiceFilter.h"
#include "filter/NumericLinkList.h"
#include "filter/ShippedLists.h"
#include "filter/WordList.h"
#include "kinbook/friends/Friends.h"
#include "kinbook/foundation/Lock.h"
#include "kinbook/foundation/RegistryBatch.h"

namespace {

constexpr const char* kCounterNames[CC_COUNT] = {
    "Emails Passed",
    "Emails Held",
    "Friend Emails Held",
    "Evil Emails Held",
    "Nice Emails Held",
    "Questionable Emails Held",
    "Evil Emails Sent to Inbox",
    "Nice Emails Sent to Inbox",
    "Questionable Emails Sent to Inbox",
    "Evil Emails Deleted",
    "Nice Emails Deleted",
    "Questionable Emails Deleted",
    "Body Read",
};

constexpr const char* kLinkPrefixes[] = {"http://", "https://", "mailto:"};

// Lists that live in memory only and have no files.
bool HasFiles(FILTER_LIST which) {
    return which != FL_NUMERIC_LINKS && which != FL_LINKS;
}

std::unique_ptr<CPatternList> MakeList(FILTER_LIST which) {
    switch (which) {
        case FL_KEYWORDS:
            return std::make_unique<CWordList>("keywords");
        case FL_BADWORDS:
            return std::make_unique<CWordList>("badwords");
        case FL_WORDS:
            return std::make_unique<CWordList>("words");
        case FL_MAKER_DOMAINS:
            return std::make_unique<CDomainList>("Brevant");
        case FL_DOMAINS:
            return std::make_unique<CDomainList>("domains");
        case FL_COUNTRY_CODES:
            return std::make_unique<CDomainList>("cocodes");
        case FL_NUMERIC_LINKS:
            return std::make_unique<CNumericLinkList>();
        case FL_LINKS:
            return std::make_unique<CLinkList>("links");
        default:
            return std::make_unique<CPatternList>("oklinks");
    }
}

// Where the counter of a held category ('X', 'N', 'Q') stands from the bad category's
// counter of its group (held, sent to the inbox, deleted); -1 for another tag.
int TagOffset(char tag) {
    switch (tag) {
        case 'X':
            return 0;
        case 'N':
            return 1;
        case 'Q':
            return 2;
        default:
            return -1;
    }
}

}  // namespace

std::atomic<CFilterChain*> CFilterChain::cm_spTheChain{nullptr};

CFilterChain::CFilterChain(bool dryRun) : m_dryRun(dryRun), m_friendlyLookup(IsAddressFriendly) {
    LoadLists();
}

CFilterChain::~CFilterChain() {
    CLock lock(&m_lock);
    m_friendly.reset();
    m_bad.reset();
    m_nice.reset();
    for (int i = 0; i < FL_COUNT; ++i) {
        if (m_lists[i] && !m_dryRun && HasFiles(static_cast<FILTER_LIST>(i)))
            m_lists[i]->SaveHits();
        m_lists[i].reset();
    }
}

void CFilterChain::SetTheChain(CFilterChain* chain) {
    cm_spTheChain.store(chain);
}

CFilterChain* CFilterChain::GetTheChain() {
    return cm_spTheChain.load();
}

void CFilterChain::LoadLists() {
    for (int i = 0; i < FL_COUNT; ++i) {
        const FILTER_LIST which = static_cast<FILTER_LIST>(i);
        LoadList(which, MakeList(which));
    }
}

void CFilterChain::LoadList(FILTER_LIST which, std::unique_ptr<CPatternList> list) {
    CLock lock(&m_lock);
    if (which == FL_LINKS) {
        for (const char* prefix : kLinkPrefixes) list->Add(prefix, PK_CONTAINS, PF_SEARCH, 0);
        list->Compile();
    } else if (HasFiles(which)) {
        const std::string shipped = GetShippedListsFolder();
        const bool loaded =
            m_dryRun ? list->LoadReadOnly(shipped.empty() ? shipped
                                                          : shipped + "/" + list->GetName() + ".re")
                     : list->Load();
        if (!loaded) {
            list->Clear();
            m_lists[which] = std::move(list);
            FillBuiltIn(which);
            return;
        }
    }
    m_lists[which] = std::move(list);
}

void CFilterChain::FillBuiltIn(FILTER_LIST which) {
    CPatternList& list = *m_lists[which];
    if (which == FL_MAKER_DOMAINS) {
        for (const char* domain : kMakerDomains) list.Add(domain, PK_SUFFIX, PF_SEARCH, 0);
    } else if (which == FL_COUNTRY_CODES) {
        for (const char* code : kCountryCodes) list.Add(code, PK_SUFFIX, PF_SEARCH, 0);
    } else {
        return;
    }
    if (m_dryRun)
        list.Compile();
    else
        list.Save();
}

void CFilterChain::LoadFilters() {
    CLock lock(&m_lock);
    m_friendly = std::make_unique<CFriendlyFilter>(this);
    m_bad = std::make_unique<CBadFilter>(this);
    m_nice = std::make_unique<CNiceFilter>(this);
    m_otherAction =
        CFilter::ActionFromText(ReadProfileText(kQuestionableSection, "Action", "hold"));
    for (int i = 0; i < CC_COUNT; ++i)
        m_counters[i] = ReadProfileInt(kSettingsSection, kCounterNames[i], 0);
    m_otherInvoked = ReadProfileInt(kQuestionableSection, "Invoked", 0);
    m_expurgate = ReadProfileInt(kSettingsSection, "Expurgate", 1) != 0;
}

MSSTATUS CFilterChain::Examine(CMessage* message) {
    CLock lock(&m_lock);
    m_decoded.Reset();
    m_lastNote.clear();
    if (message == nullptr)
        return MS_INBOX;
    MSSTATUS result;
    CHAIN_COUNTER held;
    char tag = 0;
    if (m_friendly && m_friendly->Examine(message)) {
        ++m_tallies.friendly;
        result = m_friendly->GetAction();
        held = CC_FRIEND_HELD;
    } else if (m_bad && m_bad->Examine(message)) {
        ++m_tallies.bad;
        tag = 'X';
        result = m_bad->GetAction();
        held = CC_EVIL_HELD;
    } else if (m_nice && m_nice->Examine(message)) {
        ++m_tallies.nice;
        tag = 'N';
        result = m_nice->GetAction();
        held = CC_NICE_HELD;
    } else {
        ++m_otherInvoked;
        ++m_tallies.other;
        tag = 'Q';
        result = m_otherAction;
        held = CC_QUESTIONABLE_HELD;
    }
    if (tag != 0)
        message->SetTag(reinterpret_cast<void*>(static_cast<intptr_t>(tag)));
    if (m_decoded.WasBodyRead())
        ++m_counters[CC_BODY_READ];
    CountResult(result, held);
    return result;
}

void CFilterChain::CountResult(MSSTATUS result, CHAIN_COUNTER heldCounter) {
    if (result == MS_INBOX) {
        ++m_counters[CC_PASSED];
    } else {
        ++m_counters[CC_HELD];
        ++m_counters[heldCounter];
    }
}

bool CFilterChain::ReloadLists() {
    CLock lock(&m_lock);
    if (m_dryRun)
        return false;
    bool written = true;
    for (int i = 0; i < FL_COUNT; ++i)
        if (m_lists[i] && HasFiles(static_cast<FILTER_LIST>(i)))
            written = m_lists[i]->SaveHits() && written;
    return SaveCounters() && written;
}

bool CFilterChain::SaveCounters() {
    CLock lock(&m_lock);
    if (m_dryRun)
        return false;
    CRegistryBatch batch(HKEY_CURRENT_USER);
    return WriteCounters();
}

bool CFilterChain::WriteCounters() {
    bool written = true;
    for (int i = 0; i < CC_COUNT; ++i)
        written = WriteProfileInt(kSettingsSection, kCounterNames[i], m_counters[i]) && written;
    written = WriteProfileInt(kQuestionableSection, "Invoked", m_otherInvoked) && written;
    for (CFilter* filter :
         {static_cast<CFilter*>(m_friendly.get()), static_cast<CFilter*>(m_bad.get()),
          static_cast<CFilter*>(m_nice.get())})
        if (filter != nullptr)
            filter->SaveStats();
    return written;
}

bool CFilterChain::ClearCounters() {
    CLock lock(&m_lock);
    if (m_dryRun)
        return false;
    m_counters.fill(0);
    m_otherInvoked = 0;
    m_tallies = SCheckTallies();
    for (CFilter* filter :
         {static_cast<CFilter*>(m_friendly.get()), static_cast<CFilter*>(m_bad.get()),
          static_cast<CFilter*>(m_nice.get())})
        if (filter != nullptr)
            filter->ClearStats();
    CRegistryBatch batch(HKEY_CURRENT_USER);
    const bool dated = WriteProfileText(kSettingsSection, "Filter Stats Date", "");
    return WriteCounters() && dated;
}

void CFilterChain::SaveOtherAction() {
    CLock lock(&m_lock);
    if (m_nice)
        m_nice->WriteAction(m_otherAction, "Questionable");
}

bool CFilterChain::CountReleased(char tag) {
    CLock lock(&m_lock);
    const int offset = TagOffset(tag);
    if (offset < 0)
        return false;
    ++m_counters[CC_EVIL_TO_INBOX + offset];
    return true;
}

bool CFilterChain::CountDeleted(char tag) {
    CLock lock(&m_lock);
    const int offset = TagOffset(tag);
    if (offset < 0)
        return false;
    ++m_counters[CC_EVIL_DELETED + offset];
    return true;
}

MSSTATUS CFilterChain::GetOtherAction() {
    CLock lock(&m_lock);
    return m_otherAction;
}

void CFilterChain::SetOtherAction(MSSTATUS action) {
    CLock lock(&m_lock);
    m_otherAction = action;
}

bool CFilterChain::IsExpurgate() {
    CLock lock(&m_lock);
    return m_expurgate;
}

void CFilterChain::SetExpurgate(bool expurgate) {
    CLock lock(&m_lock);
    m_expurgate = expurgate;
}

int CFilterChain::GetCounter(CHAIN_COUNTER counter) {
    CLock lock(&m_lock);
    return m_counters.at(counter);
}

int CFilterChain::GetOtherInvoked() {
    CLock lock(&m_lock);
    return m_otherInvoked;
}

SCheckTallies CFilterChain::GetCheckTallies() {
    CLock lock(&m_lock);
    return m_tallies;
}

void CFilterChain::ResetCheckTallies() {
    CLock lock(&m_lock);
    m_tallies = SCheckTallies();
}

const char* CFilterChain::CounterName(CHAIN_COUNTER counter) {
    return kCounterNames[counter];
}

CWordList* CFilterChain::GetWordList(FILTER_LIST which) {
    return dynamic_cast<CWordList*>(m_lists[which].get());
}

CDomainList* CFilterChain::GetDomainList(FILTER_LIST which) {
    return dynamic_cast<CDomainList*>(m_lists[which].get());
}

CLinkList* CFilterChain::GetLinkList() {
    return dynamic_cast<CLinkList*>(m_lists[FL_LINKS].get());
}

bool CFilterChain::ReplaceList(FILTER_LIST which, std::unique_ptr<CPatternList> list) {
    if (which < 0 || which >= FL_COUNT)
        return false;
    if (list) {
        const std::unique_ptr<CPatternList> model = MakeList(which);
        if (typeid(*list) != typeid(*model))
            return false;
    }
    CLock lock(&m_lock);
    m_lists[which] = std::move(list);
    return true;
}

std::string CFilterChain::GetDecodedSubject(CMessage* message) {
    CLock lock(&m_lock);
    return m_decoded.GetDecodedSubject(*message);
}

std::string CFilterChain::GetDecodedBody(CMessage* message, bool showParts, bool stripHtml) {
    CLock lock(&m_lock);
    return m_decoded.GetDecodedBody(*message, showParts, stripHtml);
}

const std::string& CFilterChain::GetFilterSubject(CMessage* message) {
    CLock lock(&m_lock);
    return m_decoded.FilterSubject(*message);
}

const std::string& CFilterChain::GetFilterBody(CMessage* message) {
    CLock lock(&m_lock);
    return m_decoded.FilterBody(*message);
}

void CFilterChain::AddAnalysisNote(CMessage* message, const std::string& text) {
    CLock lock(&m_lock);
    message->AddQLNote(kNoteName, text.c_str());
    m_lastNote = text;
}

std::string CFilterChain::GetLastNote() {
    CLock lock(&m_lock);
    return m_lastNote;
}

void CFilterChain::SetFriendlyLookup(FriendlyLookup lookup) {
    CLock lock(&m_lock);
    m_friendlyLookup = lookup != nullptr ? lookup : IsAddressFriendly;
}

FRIENDLY CFilterChain::AddressFriendly(const std::string& address) {
    return m_friendlyLookup(address.c_str());
}

MSSTATUS ExamineMessage(CMessage* message) {
    CFilterChain* chain = CFilterChain::GetTheChain();
    return chain != nullptr ? chain->Examine(message) : MS_INBOX;
}
