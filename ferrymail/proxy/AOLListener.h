// The AOL proxy's listener (settings section "AOLProxy"). Created by its start function
// and owned by the program; its thread accepts the clients.
#pragma once

#include "ferrymail/proxy/Listener.h"

class CAOLListener : public CListener {
public:
    static constexpr int kPort = 5190;
    CAOLListener();

    // Shuts the listener down before this part of the object goes.
    ~CAOLListener() override;

    // The AOL session is not part of the proxy engine yet: no connection is made and
    // the client is closed.
    CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                         int addressLength) override;
};
