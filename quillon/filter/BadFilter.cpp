#include "filter/BadFilter.h"

#include "ferrymail/store/Message.h"
#include "filter/FilterChain.h"
#include "filter/WordList.h"

namespace {

std::string RawEntry(CPatternList& list) {
    std::string text;
    list.GetEntryText(list.GetLastMatch(), text, true);
    return text;
}

}  // namespace

CBadFilter::CBadFilter(CFilterChain* chain)
    : CFilter(chain, "Evil",
              {"Invalid Header - Invoked", "Invalid Header", "Domain Blacklist - Invoked",
               "Domain Blacklist", "Non-western - Invoked", "Non-western",
               "Offensive Subject Words - Invoked", "Offensive Words - Subject",
               "Commercial Subject Words - Invoked", "Commercial Words - Subject",
               "Offensive Body Words - Invoked", "Offensive Words - Body",
               "Commercial Body Words - Invoked", "Commercial Words - Body",
               "Numeric Links - Invoked", "Numeric Links"},
              {{"Offensive Word Check", 1},
               {"My Word Check", 1},
               {"From Check", 1},
               {"Domain Blacklist Check", 1},
               {"Language Check", 0},
               {"Numeric Links Check", 0}}) {
    LoadSettings();
    LoadStats();
}

void CBadFilter::LoadSettings() {
    CFilter::LoadSettings();
    m_action = MS_HOLD;
}

bool CBadFilter::Examine(CMessage* message) {
    Count(kInvoked);
    if (CheckFrom(message))
        return true;
    const std::string& subject = m_chain->GetFilterSubject(message);
    return CheckLanguage(message, subject) || CheckSubjectWords(message, subject) ||
           CheckBodyWords(message);
}

bool CBadFilter::CheckFrom(CMessage* message) {
    const SAddress* from = message->GetFrom();
    if (IsOn(kFromCheck)) {
        Count(kInvalidHeaderInvoked);
        if (from->m_address.empty() && from->m_name.empty())
            return Claim(message, kInvalidHeader, "bad: from address empty");
    }
    CPatternList* blacklist = m_chain->GetList(FL_DOMAINS);
    if (IsOn(kDomainBlacklistCheck) && blacklist != nullptr) {
        Count(kDomainBlacklistInvoked);
        if (!from->m_address.empty() &&
            blacklist->Match(from->m_address.data(), from->m_address.size()))
            return Claim(message, kDomainBlacklist,
                         "bad: from a blacklisted sender (" + RawEntry(*blacklist) + ")");
    }
    return false;
}

bool CBadFilter::CheckLanguage(CMessage* message, const std::string& subject) {
    if (!IsOn(kLanguageCheck))
        return false;
    Count(kNonWesternInvoked);
    const std::string& address = message->GetFrom()->m_address;
    CPatternList* codes = m_chain->GetList(FL_COUNTRY_CODES);
    if (codes != nullptr && !address.empty() && codes->Match(address.data(), address.size()))
        return Claim(message, kNonWestern, "bad: from non-western country code - " + address);
    size_t high = 0;
    for (char c : subject) high += static_cast<unsigned char>(c) > 127 ? 1 : 0;
    if (high > 0 && 4 * high > subject.size())
        return Claim(message, kNonWestern, "bad: non-western language - 8bit in subject");
    return false;
}

std::string CBadFilter::MyWordNote(CWordList& list, const char* where) {
    std::string text;
    list.GetEntryText(list.GetLastMatch(), text, false);
    if (text.empty())
        return std::string("bad: ") + where + " contains never-want-to-see word";
    if (text[0] == '"')
        return "bad: " + text + " in " + where;
    return "bad: \"" + text + "\" in " + where;
}

bool CBadFilter::CheckSubjectWords(CMessage* message, const std::string& subject) {
    CWordList* offensive = m_chain->GetWordList(FL_BADWORDS);
    if (IsOn(kOffensiveWordCheck) && offensive != nullptr) {
        Count(kOffensiveSubjectInvoked);
        if (offensive->MatchSubject(subject.data(), subject.size()))
            return Claim(message, kOffensiveSubject,
                         m_chain->IsExpurgate()
                             ? "bad: offensive words in subject"
                             : "bad: \"" + RawEntry(*offensive) + "\" in subject");
    }
    CWordList* mine = m_chain->GetWordList(FL_WORDS);
    if (IsOn(kMyWordCheck) && mine != nullptr) {
        Count(kCommercialSubjectInvoked);
        if (mine->MatchSubject(subject.data(), subject.size()))
            return Claim(message, kCommercialSubject, MyWordNote(*mine, "subject"));
    }
    return false;
}

bool CBadFilter::CheckBodyWords(CMessage* message) {
    CWordList* offensive = m_chain->GetWordList(FL_BADWORDS);
    if (IsOn(kOffensiveWordCheck) && offensive != nullptr && offensive->HasContentEntries()) {
        Count(kOffensiveBodyInvoked);
        const std::string& body = m_chain->GetFilterBody(message);
        if (offensive->MatchContent(body.data(), body.size()))
            return Claim(message, kOffensiveBody,
                         m_chain->IsExpurgate() ? "bad: offensive words in body"
                                                : "bad: \"" + RawEntry(*offensive) + "\" in body");
    }
    CWordList* mine = m_chain->GetWordList(FL_WORDS);
    if (IsOn(kMyWordCheck) && mine != nullptr && mine->HasContentEntries()) {
        Count(kCommercialBodyInvoked);
        const std::string& body = m_chain->GetFilterBody(message);
        if (mine->MatchContent(body.data(), body.size()))
            return Claim(message, kCommercialBody, MyWordNote(*mine, "body"));
    }
    CPatternList* numeric = m_chain->GetList(FL_NUMERIC_LINKS);
    if (IsOn(kNumericLinksCheck) && numeric != nullptr) {
        Count(kNumericLinksInvoked);
        const std::string& body = m_chain->GetFilterBody(message);
        if (numeric->Match(body.data(), body.size()))
            return Claim(message, kNumericLinks, "bad: numeric hyperlinks in body");
    }
    return false;
}
