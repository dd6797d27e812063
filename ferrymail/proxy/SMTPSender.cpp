#include "ferrymail/proxy/SMTPSender.h"

#include <algorithm>

#include "ferrymail/proxy/SMTPMessage.h"

CSMTPSender::~CSMTPSender() {
    for (CSMTPMessage* message : m_messages)
        CRefCount::DoRelease(message);
}

int CSMTPSender::AddMessage(CSMTPMessage* message) {
    if (std::find(m_messages.begin(), m_messages.end(), message) != m_messages.end())
        return 0;
    message->AddRef();
    m_messages.push_back(message);
    return 1;
}
