// The addressees of one SMTP connection's accepted messages that are not friends, each
// with its messages: what the session hands over with notification MN_SMTP_SCRAPED when
// the connection ends. Reference counted; it holds one reference to each sender. Used by
// one thread at a time: the session's until it is posted, then the receiver's.
#pragma once

#include <string>
#include <vector>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/MapStringToPtrI.h"
#include "kinbook/foundation/RefCount.h"

class CSMTPMessage;
class CSMTPSender;

class FERRYMAIL_API CNonFriendCollection : public CRefCount {
public:
    CNonFriendCollection();
    ~CNonFriendCollection() override;

    // Files `message` under `address` (case ignored), making its sender on first use.
    void Add(const std::string& address, CSMTPMessage* message);
    // The sender of `address` (case ignored), or null; no reference for the caller.
    CSMTPSender* Find(const std::string& address) const;
    int GetCount() const { return m_map.GetCount(); }
    // Every sender, in the order their addresses were first added; no references.
    const std::vector<CSMTPSender*>& GetSenders() const { return m_order; }

private:
    CMapStringToPtrI m_map;            // address -> CSMTPSender*, one reference each
    std::vector<CSMTPSender*> m_order;  // the same senders, first added first
};
