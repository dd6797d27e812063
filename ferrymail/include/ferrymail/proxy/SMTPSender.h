// One addressee of sent mail who is not a friend, with the messages sent to it over one
// connection. Reference counted; it holds one reference to each of its messages. Used by
// one thread at a time, as its CNonFriendCollection.
#pragma once

#include <string>
#include <vector>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/RefCount.h"

class CSMTPMessage;

class FERRYMAIL_API CSMTPSender : public CRefCount {
public:
    explicit CSMTPSender(const std::string& address) : m_address(address) {}
    ~CSMTPSender() override;

    const std::string& GetAddress() const { return m_address; }
    // 0 when that very message is listed already; otherwise takes a reference to it and
    // returns 1.
    int AddMessage(CSMTPMessage* message);
    int GetMessageCount() const { return static_cast<int>(m_messages.size()); }
    // 0 <= index < GetMessageCount().
    CSMTPMessage* GetMessage(int index) const { return m_messages[static_cast<size_t>(index)]; }

private:
    std::string m_address;
    std::vector<CSMTPMessage*> m_messages;  // one reference each
};
