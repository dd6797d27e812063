// The SMTP proxy's listener (protocol SMTP, settings section "SMTPProxy"): one
// CSMTPConnection per accepted client. It holds the database notifier
// (CDatabaseNotifier), so that the sessions' notifications reach the message database's
// sinks. Created by its start function and owned by the program; its thread accepts
// the clients.
#pragma once

#include "ferrymail/proxy/Listener.h"

class CSMTPListener : public CListener {
public:
    explicit CSMTPListener(int port);

    // Shuts the listener down before this part of the object goes.
    ~CSMTPListener() override;

    CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                         int addressLength) override;
};
