// The AOL proxy's listener (settings section "AOLProxy"). Created by its start function
// and owned by the program; its thread accepts the clients.
#pragma once

#include "ferrymail/proxy/Listener.h"

class CAOLListener : public CListener {
public:
    static constexpr int kPort = 5190;
    // `port` 0 takes any free port (for tests).
    explicit CAOLListener(int port = kPort);

    // Shuts the listener down before this part of the object goes.
    ~CAOLListener() override;

    // A CAOLConnection numbered from a process-wide count, the first being 1.
    CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                         int addressLength) override;
};
