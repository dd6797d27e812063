// Sent-mail learning: the addressees of sent mail that the SMTP proxy found not to be
// friends (its non-friend collection) become friends at once, or offers that wait for
// --accept-offer / --reject-offer, as the preferences say. Runs on the thread of the
// engine's notification receiver and on the control channel's; it holds no lock of its
// own across friends calls (the friends library takes its own) and is never called
// under a store lock. The log goes to what SetLog installs (the POP3 proxy's debug log).
#pragma once

#include <functional>
#include <string>

#include "kinbook/foundation/Sync.h"

class CNonFriendCollection;
class CSentMailOffers;

// The preferences under "Software\Brevant\Quillon\Settings".
struct SLearningPreferences {
    bool addAddressees = true;  // "Add addressees to Friends"
    bool ask = true;            // "Ask before add addressees to Friends"

    // The stored values; a missing one keeps its default.
    static SLearningPreferences Read();
};

class CSentMailLearning {
public:
    using LogFunction = std::function<void(const std::string& line)>;
    static constexpr const char kNote[] = "added from sent mail.";

    // `offers` must outlive this object.
    explicit CSentMailLearning(CSentMailOffers& offers);
    CSentMailLearning(const CSentMailLearning&) = delete;
    CSentMailLearning& operator=(const CSentMailLearning&) = delete;

    // Installs where log lines go (null: dropped). When it returns, no line is being
    // written to the previous one.
    void SetLog(LogFunction log);

    // What notification MN_SMTP_SCRAPED asks: for every sender of `collection` holding a
    // message, in the order they were collected, an address already known is logged
    // and skipped; otherwise it is made a friend (asking off) or offered (asking on).
    // Nothing is done with addAddressees off. False with `error` set when the offers
    // cannot be written (the friends already made stay).
    bool Learn(const CNonFriendCollection& collection, const SLearningPreferences& preferences,
               std::string& error);
    // Makes `address` a friend (no name, manual source, the note kNote) and logs the
    // outcome; one already known is logged and left as it is. The log line, also for
    // the caller, goes to `line`. True when the address is a friend afterwards.
    bool MakeFriend(const std::string& address, std::string& line);

private:
    void Log(const std::string& line);

    CSentMailOffers& m_offers;
    CCritical m_logLock;  // guards m_log and is held while it runs
    LogFunction m_log;
};
