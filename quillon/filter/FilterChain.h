// The classification engine: runs the friendly, bad and nice filters over each newly
// downloaded message, tags and notes it, counts the outcome and answers where it goes.
// It owns the filters, the pattern lists they share, the per-message decoding cache and
// the chain counters (registry section "Settings").
//
// One instance, made by the program and reachable through GetTheChain. Every member
// takes the chain lock (GetLock, recursive); a caller that changes a filter's settings
// or reads its counters holds it too. Lock order: the message database, then a store,
// then the chain lock. An examination runs on a session thread that already holds its
// store's lock, so nothing may take a store lock (or call into the database) while it
// holds the chain lock. The friends store's lock is taken inside the chain lock (the
// filters ask about addresses), never the other way round.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "ferrymail/store/MessageStatus.h"
#include "filter/DecodedText.h"
#include "kinbook/foundation/Critical.h"
#include "kinbook/friends/EmailEntity.h"

class CBadFilter;
class CDomainList;
class CFriendlyFilter;
class CLinkList;
class CMessage;
class CNiceFilter;
class CPatternList;
class CWordList;

// The chain's lists, in the order they are loaded.
enum FILTER_LIST {
    FL_KEYWORDS,       // "keywords", CWordList: friendly words and phrases
    FL_BADWORDS,       // "badwords", CWordList: the offensive words
    FL_WORDS,          // "words", CWordList: the never-want-to-see words
    FL_MAKER_DOMAINS,  // "Brevant", CDomainList
    FL_DOMAINS,        // "domains", CDomainList: the blacklist
    FL_COUNTRY_CODES,  // "cocodes", CDomainList
    FL_NUMERIC_LINKS,  // CNumericLinkList, in memory only
    FL_LINKS,          // "links", CLinkList, in memory only
    FL_OK_LINKS,       // "oklinks", CPatternList
    FL_COUNT
};

// The chain counters, kept as the integers of "Settings".
enum CHAIN_COUNTER {
    CC_PASSED,
    CC_HELD,
    CC_FRIEND_HELD,
    CC_EVIL_HELD,
    CC_NICE_HELD,
    CC_QUESTIONABLE_HELD,
    CC_EVIL_TO_INBOX,
    CC_NICE_TO_INBOX,
    CC_QUESTIONABLE_TO_INBOX,
    CC_EVIL_DELETED,
    CC_NICE_DELETED,
    CC_QUESTIONABLE_DELETED,
    CC_BODY_READ,
    CC_COUNT
};

// The verdicts of the current mail check, reset when a mail client connects.
struct SCheckTallies {
    int friendly = 0;
    int bad = 0;
    int nice = 0;
    int other = 0;
};

class CFilterChain {
public:
    static constexpr const char kNoteName[] = "Quillon-Analysis";
    static constexpr const char kQuestionableSection[] = "Settings\\Questionable Filter";

    // Loads every list from the user data folder. With `dryRun` nothing is ever written:
    // waiting list updates are not merged, lists without a file are read from the
    // defaults the program ships, the built-in lists are not saved, the counters and
    // hit counts are not stored (SaveCounters, ReloadLists and ClearCounters refuse).
    explicit CFilterChain(bool dryRun = false);
    // Deletes the filters (their counters are not written), writes the hit files of the
    // lists whose counts changed (not in a dry run), and deletes the lists.
    ~CFilterChain();
    CFilterChain(const CFilterChain&) = delete;
    CFilterChain& operator=(const CFilterChain&) = delete;

    // The program's chain for ExamineMessage; null removes it. Not owned.
    static void SetTheChain(CFilterChain* chain);
    static CFilterChain* GetTheChain();

    CCritical& GetLock() { return m_lock; }
    bool IsDryRun() const { return m_dryRun; }

    // Makes the three filters (each reads its settings and counters), reads the other
    // action, the chain counters, the other-invoked counter and "Expurgate".
    void LoadFilters();
    // Classifies `message`: tag, analysis note, counters; the location it goes to.
    MSSTATUS Examine(CMessage* message);

    // Writes the hit files of the lists whose counts changed, then all counters. False
    // in a dry run or when something could not be written.
    bool ReloadLists();
    // Writes the chain counters, the other-invoked counter and every filter's counters.
    bool SaveCounters();
    // Zeroes every counter (chain, other, filters, current check), empties "Filter Stats
    // Date" and writes it all at once.
    bool ClearCounters();
    // Writes the other action as "Action" of "Settings\Questionable Filter".
    void SaveOtherAction();

    // The review's answers about a held message of category `tag` ('X', 'N', 'Q'):
    // counts it as sent to the inbox or deleted. False (nothing counted) for another tag.
    bool CountReleased(char tag);
    bool CountDeleted(char tag);

    MSSTATUS GetOtherAction();
    void SetOtherAction(MSSTATUS action);
    bool IsExpurgate();
    void SetExpurgate(bool expurgate);
    int GetCounter(CHAIN_COUNTER counter);
    int GetOtherInvoked();
    SCheckTallies GetCheckTallies();
    void ResetCheckTallies();
    // The registry value name of a chain counter.
    static const char* CounterName(CHAIN_COUNTER counter);

    // The filters; null before LoadFilters. Used under the chain lock.
    CFriendlyFilter* GetFriendlyFilter() { return m_friendly.get(); }
    CBadFilter* GetBadFilter() { return m_bad.get(); }
    CNiceFilter* GetNiceFilter() { return m_nice.get(); }

    // The lists; null when missing. Used under the chain lock.
    CPatternList* GetList(FILTER_LIST which) { return m_lists[which].get(); }
    CWordList* GetWordList(FILTER_LIST which);
    CDomainList* GetDomainList(FILTER_LIST which);
    CLinkList* GetLinkList();
    // Replaces a list (a list window's edited copy), deleting the one it replaces; null
    // leaves the list missing. False (nothing changed) when `list` is not of the list's
    // class.
    bool ReplaceList(FILTER_LIST which, std::unique_ptr<CPatternList> list);

    // The per-message cache, for the filters and the message preview.
    std::string GetDecodedSubject(CMessage* message);
    std::string GetDecodedBody(CMessage* message, bool showParts, bool stripHtml);
    // The same subject and body (showParts false, stripHtml true) for the filters, which
    // hold the chain lock: decoded text is not copied; valid until the next call.
    const std::string& GetFilterSubject(CMessage* message);
    const std::string& GetFilterBody(CMessage* message);
    // Adds the note line "X-Quillon-Analysis: <text>" to the message.
    void AddAnalysisNote(CMessage* message, const std::string& text);
    // The text of the last note written, for the caller of Examine.
    std::string GetLastNote();

    // How the filters ask about addresses; IsAddressFriendly unless a test replaces it.
    using FriendlyLookup = FRIENDLY (*)(const char* address);
    void SetFriendlyLookup(FriendlyLookup lookup);
    FRIENDLY AddressFriendly(const std::string& address);

private:
    void LoadLists();
    void LoadList(FILTER_LIST which, std::unique_ptr<CPatternList> list);
    void FillBuiltIn(FILTER_LIST which);
    void CountResult(MSSTATUS result, CHAIN_COUNTER heldCounter);
    bool WriteCounters();

    static std::atomic<CFilterChain*> cm_spTheChain;

    CCritical m_lock;  // serialises examinations, list replacement and setting changes
    const bool m_dryRun;
    // Everything below is guarded by m_lock.
    std::unique_ptr<CFriendlyFilter> m_friendly;
    std::unique_ptr<CBadFilter> m_bad;
    std::unique_ptr<CNiceFilter> m_nice;
    std::array<std::unique_ptr<CPatternList>, FL_COUNT> m_lists;
    CDecodedText m_decoded;
    std::string m_lastNote;
    MSSTATUS m_otherAction = MS_HOLD;
    bool m_expurgate = true;
    int m_otherInvoked = 0;
    std::array<int, CC_COUNT> m_counters = {};
    SCheckTallies m_tallies;
    FriendlyLookup m_friendlyLookup;
};

// The examine call-back of the message database: the program's chain examines the
// message; MS_INBOX when there is no chain.
MSSTATUS ExamineMessage(CMessage* message);
