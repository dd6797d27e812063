// The first filter of the chain: mail from the user's own addresses, friends, companies
// and mailing lists, from the maker's domains, to a friend, or with a friendly key
// phrase. What it claims always goes to the inbox. Owned by the filter chain and used
// under its lock.
#pragma once

#include "filter/Filter.h"

class CFriendlyFilter : public CFilter {
public:
    // Counters after kInvoked and kTrue.
    enum { kMyself = 2, kFriend, kCompany, kEmailList, kToFriend, kKeyword };
    // Settings.
    enum {
        kFromFriendCheck,
        kFromMeCheck,
        kFromCompanyCheck,
        kFromEmailListCheck,
        kMeNameCheck,
        kToFriendCheck,
        kKeyPhraseCheck,
    };

    // Reads the settings and the counters; the action is always the inbox.
    explicit CFriendlyFilter(CFilterChain* chain);

    bool Examine(CMessage* message) override;
    // The action is fixed: nothing is written.
    void SaveAction() override {}
    void SetAction(MSSTATUS) override {}

private:
    bool CheckFrom(CMessage* message);
    bool FromMe(CMessage* message);
    bool CheckMakerDomain(CMessage* message);
    bool CheckToFriend(CMessage* message);
    bool CheckEmailLists(CMessage* message);
    bool CheckKeyPhrases(CMessage* message);
};
