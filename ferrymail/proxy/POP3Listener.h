// The POP3 proxy's listener (settings section "POP3Proxy"). Created by its start function
// and owned by the program; its thread accepts the clients.
#pragma once

#include "ferrymail/Listener.h"

class CPOP3Listener : public CListener {
public:
    explicit CPOP3Listener(int port);

    // Shuts the listener down before this part of the object goes.
    ~CPOP3Listener() override;

    // The POP3 session is not part of the proxy engine yet: no connection is made and
    // the client is closed.
    CProxyConnection* NewProxyConnection(SOCKET socket, const sockaddr_in& address,
                                         int addressLength) override;
};
