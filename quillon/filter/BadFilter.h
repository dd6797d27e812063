// The second filter of the chain: an empty sender, a blacklisted or unwanted-country
// sender, a non-western subject, offensive or never-want-to-see words, numeric links.
// What it claims is always held (tag 'X'). Owned by the filter chain and used under its
// lock.
#pragma once

#include <string>

#include "filter/Filter.h"

class CWordList;

class CBadFilter : public CFilter {
public:
    // Counters after kInvoked and kTrue: each test's tries, then its catches.
    enum {
        kInvalidHeaderInvoked = 2,
        kInvalidHeader,
        kDomainBlacklistInvoked,
        kDomainBlacklist,
        kNonWesternInvoked,
        kNonWestern,
        kOffensiveSubjectInvoked,
        kOffensiveSubject,
        kCommercialSubjectInvoked,
        kCommercialSubject,
        kOffensiveBodyInvoked,
        kOffensiveBody,
        kCommercialBodyInvoked,
        kCommercialBody,
        kNumericLinksInvoked,
        kNumericLinks,
    };
    // Settings.
    enum {
        kOffensiveWordCheck,
        kMyWordCheck,
        kFromCheck,
        kDomainBlacklistCheck,
        kLanguageCheck,
        kNumericLinksCheck,
    };

    // Reads the settings (the action is always hold) and the counters.
    explicit CBadFilter(CFilterChain* chain);

    bool Examine(CMessage* message) override;
    // Also sets the action to hold.
    void LoadSettings() override;
    void SetAction(MSSTATUS) override {}

private:
    bool CheckFrom(CMessage* message);
    bool CheckLanguage(CMessage* message, const std::string& subject);
    bool CheckSubjectWords(CMessage* message, const std::string& subject);
    bool CheckBodyWords(CMessage* message);
    // The note of a never-want-to-see match in `where` ("subject" or "body").
    static std::string MyWordNote(CWordList& list, const char* where);
};
