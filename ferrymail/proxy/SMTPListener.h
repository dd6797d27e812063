// The SMTP proxy's listener (settings section "SMTPProxy"). Created by its start function
// and owned by the program; its thread accepts the clients.
#pragma once

#include "ferrymail/proxy/Listener.h"

class CSMTPListener : public CListener {
public:
    explicit CSMTPListener(int port);

    // Shuts the listener down before this part of the object goes.
    ~CSMTPListener() override;

    // The SMTP session is not part of the proxy engine yet: no connection is made and
    // the client is closed.
    CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                         int addressLength) override;
};
