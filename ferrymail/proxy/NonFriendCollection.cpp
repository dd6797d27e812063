#include "ferrymail/proxy/NonFriendCollection.h"

#include "ferrymail/proxy/SMTPSender.h"

CNonFriendCollection::CNonFriendCollection() { m_map.InitHashTable(10); }

CNonFriendCollection::~CNonFriendCollection() {
    for (CSMTPSender* sender : m_order)
        CRefCount::DoRelease(sender);
}

void CNonFriendCollection::Add(const std::string& address, CSMTPMessage* message) {
    CSMTPSender* sender = Find(address);
    if (sender == nullptr) {
        sender = new CSMTPSender(address);
        sender->AddRef();
        m_map.SetAt(address.c_str(), sender);
        m_order.push_back(sender);
    }
    sender->AddMessage(message);
}

CSMTPSender* CNonFriendCollection::Find(const std::string& address) const {
    void* value = nullptr;
    if (!m_map.Lookup(address.c_str(), value))
        return nullptr;
    return static_cast<CSMTPSender*>(value);
}
