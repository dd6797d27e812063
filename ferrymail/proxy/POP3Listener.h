// The POP3 proxy's listener (settings section "POP3Proxy"): the main listener on the
// configured port and, when DirectProxyListener is on, a second one on DirectProxyPort
// that logs into the main one's log. The main listener is where the message database's
// log lines go; it holds the database notifier (CDatabaseNotifier) that hands the
// sessions' notifications to the database. Created by its start function and owned by
// the program; its thread accepts the clients.
#pragma once

#include "ferrymail/proxy/Listener.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/proxy/ProxySettings.h"

class CPOP3Listener : public CListener, public IDatabaseLogger {
public:
    struct SAutopollSettings {
        int autopollInterval;
        int directProxyListener;
        int directProxyPort;
    };
    static const SSetting cm_pDefaultAutopollSettings[];

    // A main listener (no parent) also starts its direct listener when so configured.
    explicit CPOP3Listener(int port, CPOP3Listener* parent = nullptr);
    ~CPOP3Listener() override;

    CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                         int addressLength) override;
    CListener* GetLogger() override;
    void LogDatabaseLine(unsigned category, const std::string& line) override;
    bool WantsDatabaseLine(unsigned category) override;
    CPOP3Listener* GetDirectListener() const { return m_direct; }

private:

    SAutopollSettings m_autopoll{0, 1, 110};
    CProxySettings m_autopollSettings;
    CPOP3Listener* m_direct = nullptr;  // owned
    CPOP3Listener* m_parent;
};
