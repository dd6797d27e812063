#include "app/SentMailLearning.h"

#include <vector>

#include "app/SentMailOffers.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "ferrymail/proxy/SMTPSender.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kSettingsKey[] = "Software\\Brevant\\Quillon\\Settings";

std::string Quoted(const std::string& address) {
    return "\"" + address + "\"";
}

}  // namespace

SLearningPreferences SLearningPreferences::Read() {
    SLearningPreferences preferences;
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, kSettingsKey, KEY_READ))
        return preferences;
    int value = 0;
    if (key.QueryValue("Add addressees to Friends", value, FALSE))
        preferences.addAddressees = value != 0;
    if (key.QueryValue("Ask before add addressees to Friends", value, FALSE))
        preferences.ask = value != 0;
    return preferences;
}

CSentMailLearning::CSentMailLearning(CSentMailOffers& offers) : m_offers(offers) {}

void CSentMailLearning::SetLog(LogFunction log) {
    CLock lock(&m_logLock);
    m_log = std::move(log);
}

void CSentMailLearning::Log(const std::string& line) {
    CLock lock(&m_logLock);
    if (m_log)
        m_log(line);
}

bool CSentMailLearning::MakeFriend(const std::string& address, std::string& line) {
    CFriendData handle;
    if (handle.Lookup(address.c_str())) {
        line = "Add " + Quoted(address) + " as new friend from sent mail -- already friend!";
        Log(line);
        return true;
    }
    const bool made = handle.Create(address.c_str(), nullptr, AS_MANUAL, kNote) != FALSE;
    line = "Add " + Quoted(address) + " as new friend from sent mail" + (made ? "!" : " failed!");
    Log(line);
    return made;
}

bool CSentMailLearning::Learn(const CNonFriendCollection& collection,
                              const SLearningPreferences& preferences, std::string& error) {
    if (!preferences.addAddressees)
        return true;
    std::vector<SSentMailOffer> offers;
    for (const CSMTPSender* sender : collection.GetSenders()) {
        const int count = sender->GetMessageCount();
        if (count == 0)
            continue;
        const std::string& address = sender->GetAddress();
        CFriendData known;
        if (known.Lookup(address.c_str())) {
            Log("Add " + Quoted(address) + " as new friend from sent mail -- already friend!");
            continue;
        }
        if (!preferences.ask) {
            std::string line;
            MakeFriend(address, line);
            continue;
        }
        offers.push_back({address, count, sender->GetMessage(count - 1)->GetSubject()});
    }
    if (offers.empty())
        return true;
    if (!m_offers.Add(offers, error)) {
        Log("Sent-mail offers not kept: " + error);
        return false;
    }
    for (const SSentMailOffer& offer : offers)
        Log("Offer " + Quoted(offer.address) + " as new friend from sent mail (" +
            std::to_string(offer.count) + (offer.count == 1 ? " message)" : " messages)"));
    return true;
}
