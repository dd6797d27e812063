#include "filter/FriendlyFilter.h"

#include "ferrymail/store/Message.h"
#include "filter/DomainList.h"
#include "filter/FilterChain.h"
#include "filter/WordList.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/foundation/TextHelpers.h"

namespace {

std::string MatchedText(CPatternList& list) {
    std::string text;
    list.GetEntryText(list.GetLastMatch(), text, true);
    return text;
}

}  // namespace

CFriendlyFilter::CFriendlyFilter(CFilterChain* chain)
    : CFilter(chain, "Friend", {"Myself", "Friend", "Company", "EmailList", "To Friend", "Keyword"},
              {{"From Friend Check", 1},
               {"From Me Check", 1},
               {"From Company Check", 1},
               {"From EmailList Check", 1},
               {"Me Name Check", 0},
               {"To Friend Check", 0},
               {"Key Phrase Check", 0}}) {
    m_action = MS_INBOX;
    LoadSettings();
    LoadStats();
}

bool CFriendlyFilter::Examine(CMessage* message) {
    Count(kInvoked);
    return CheckFrom(message) || CheckMakerDomain(message) || CheckToFriend(message) ||
           CheckEmailLists(message) || CheckKeyPhrases(message);
}

bool CFriendlyFilter::FromMe(CMessage* message) {
    if (!IsOn(kMeNameCheck))
        return true;
    const SAddress* from = message->GetFrom();
    CFriendData entry;
    return !from->m_name.empty() && entry.Lookup(from->m_address.c_str()) &&
           CompareNoCase(from->m_name.c_str(), entry.GetName().c_str()) == 0;
}

bool CFriendlyFilter::CheckFrom(CMessage* message) {
    const SAddress* from = message->GetFrom();
    if (from->m_address.empty())
        return false;
    switch (m_chain->AddressFriendly(from->m_address)) {
        case FRIENDLY_ME:
            if (IsOn(kFromMeCheck) && FromMe(message))
                return Claim(message, kMyself, "friendly: from yourself");
            return false;
        case FRIENDLY_FRIEND:
            return IsOn(kFromFriendCheck) && Claim(message, kFriend, "friendly: from a friend");
        case FRIENDLY_COMPANY:
            return IsOn(kFromCompanyCheck) &&
                   Claim(message, kCompany, "friendly: from a known company");
        case FRIENDLY_MAILING_LIST:
            return IsOn(kFromEmailListCheck) &&
                   Claim(message, kEmailList, "friendly: from an email list");
        default:
            return false;
    }
}

bool CFriendlyFilter::CheckMakerDomain(CMessage* message) {
    CPatternList* makers = m_chain->GetList(FL_MAKER_DOMAINS);
    if (makers == nullptr ||
        !makers->Match(message->GetFrom()->m_address.data(), message->GetFrom()->m_address.size()))
        return false;
    const std::string maker = MatchedText(*makers);
    if (CWordList* offensive = m_chain->GetWordList(FL_BADWORDS)) {
        const std::string& subject = m_chain->GetFilterSubject(message);
        if (offensive->MatchSubject(subject.data(), subject.size()))
            return false;
        if (offensive->HasContentEntries()) {
            const std::string& body = m_chain->GetFilterBody(message);
            if (offensive->MatchContent(body.data(), body.size()))
                return false;
        }
    }
    return Claim(message, kCompany, "friendly: from Brevant, \"" + maker + "\"");
}

bool CFriendlyFilter::CheckToFriend(CMessage* message) {
    if (!IsOn(kToFriendCheck))
        return false;
    for (const SAddress& to : *message->GetTo())
        if (!to.m_address.empty() && m_chain->AddressFriendly(to.m_address) == FRIENDLY_FRIEND)
            return Claim(message, kToFriend, "friendly: to a friend");
    for (const SAddress& cc : *message->GetCC())
        if (!cc.m_address.empty() && m_chain->AddressFriendly(cc.m_address) == FRIENDLY_FRIEND)
            return Claim(message, kToFriend, "friendly: cc a friend");
    return false;
}

bool CFriendlyFilter::CheckEmailLists(CMessage* message) {
    if (!IsOn(kFromEmailListCheck))
        return false;
    auto isList = [this](const SAddress& address) {
        return !address.m_address.empty() &&
               m_chain->AddressFriendly(address.m_address) == FRIENDLY_MAILING_LIST;
    };
    if (isList(*message->GetSender()))
        return Claim(message, kEmailList, "friendly: sender an email list");
    if (isList(*message->GetReplyTo()))
        return Claim(message, kEmailList, "friendly: reply-to an email list");
    for (const SAddress& to : *message->GetTo())
        if (isList(to))
            return Claim(message, kEmailList, "friendly: to an email list");
    for (const SAddress& cc : *message->GetCC())
        if (isList(cc))
            return Claim(message, kEmailList, "friendly: cc an email list");
    return false;
}

bool CFriendlyFilter::CheckKeyPhrases(CMessage* message) {
    CWordList* keywords = m_chain->GetWordList(FL_KEYWORDS);
    if (!IsOn(kKeyPhraseCheck) || keywords == nullptr)
        return false;
    const std::string& subject = m_chain->GetFilterSubject(message);
    if (keywords->MatchSubject(subject.data(), subject.size()))
        return Claim(message, kKeyword, "friendly: \"" + MatchedText(*keywords) + "\" in subject");
    if (!keywords->HasContentEntries())
        return false;
    const std::string& body = m_chain->GetFilterBody(message);
    if (keywords->MatchContent(body.data(), body.size()))
        return Claim(message, kKeyword, "friendly: \"" + MatchedText(*keywords) + "\" in body");
    return false;
}
