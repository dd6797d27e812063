// The third filter of the chain: a stranger's message that looks personal (short, to the
// user, few addressees, recent, no attachment, plain text, no links but acceptable ones).
// Every enabled criterion must hold; the first that fails makes the message "other" and
// its note says which. Owned by the filter chain and used under its lock.
#pragma once

#include <string>

#include "filter/Filter.h"

class CNiceFilter : public CFilter {
public:
    // Counters after kInvoked and kTrue: each criterion's tries, then its failures.
    enum {
        kShortMessageInvoked = 2,
        kShortMessage,
        kToMeInvoked,
        kToMe,
        kToAddressesInvoked,
        kToAddresses,
        kDateInvoked,
        kDate,
        kAttachmentInvoked,
        kAttachment,
        kPlainTextInvoked,
        kPlainText,
        kHyperlinksInvoked,
        kHyperlinks,
    };
    // Settings.
    enum {
        kLengthCheck,
        kMessageLength,
        kToCheck,
        kAddresseeCountCheck,
        kMaxAddressees,
        kDateCheck,
        kMaxDays,
        kAttachmentsCheck,
        kFormattedCheck,
        kHyperlinksCheck,
    };

    // Reads the settings, the action ("hold" by default) and the counters.
    explicit CNiceFilter(CFilterChain* chain);

    bool Examine(CMessage* message) override;
    void LoadSettings() override;

    // The days between the calendar days of two times (each taken in universal time and
    // set to 00:00:01 local time), in seconds; exposed for the tests.
    static long CalendarDistance(long sent, long received);

private:
    // The note of the first failed criterion, or empty when all hold.
    std::string FirstFailure(CMessage* message);
    std::string CheckLength(CMessage* message);
    std::string CheckToMe(CMessage* message);
    std::string CheckAddressees(CMessage* message);
    std::string CheckDate(CMessage* message);
    std::string CheckContentType(CMessage* message);
    std::string CheckLinks(CMessage* message);
};
