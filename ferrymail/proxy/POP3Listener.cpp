#include "proxy/POP3Listener.h"

#include <atomic>
#include <cstddef>

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageStore.h"
#include "proxy/DatabaseNotifier.h"
#include "proxy/POP3Connection.h"

namespace {

// Every POP3 session of the process has its own number, the first being 1.
std::atomic<int> s_sessionNumber{0};

}  // namespace

const SSetting CPOP3Listener::cm_pDefaultAutopollSettings[] = {
    {"AutopollInterval", offsetof(SAutopollSettings, autopollInterval), ST_INTEGER, nullptr, 0},
    {"DirectProxyListener", offsetof(SAutopollSettings, directProxyListener), ST_BOOLEAN, "TRUE", 0},
    {"DirectProxyPort", offsetof(SAutopollSettings, directProxyPort), ST_INTEGER, nullptr, 110},
    {nullptr, 0, 0, nullptr, 0},
};

CPOP3Listener::CPOP3Listener(int port, CPOP3Listener* parent)
    : CListener(port, PROTOCOL_POP3, "POP3Proxy"),
      m_autopollSettings("POP3Proxy", cm_pDefaultAutopollSettings),
      m_parent(parent) {
    m_autopollSettings.ReloadSettings(nullptr, &m_autopoll);
    if (m_parent != nullptr)
        return;
    CMessageDatabase::GetMessageDatabase()->RegisterLogger(this);
    CDatabaseNotifier::Acquire();
    if (m_autopoll.directProxyListener) {
        m_direct = new CPOP3Listener(m_autopoll.directProxyPort, this);
        int errorNumber = 0;
        std::string errorText;
        if (!m_direct->InitListener(5, errorNumber, errorText)) {
            delete m_direct;  // the main listener works alone
            m_direct = nullptr;
        }
    }
}

CPOP3Listener::~CPOP3Listener() {
    delete m_direct;
    m_direct = nullptr;
    // The sessions end before anything they use goes.
    Shutdown();
    if (m_parent == nullptr) {
        ClearAccountTable(FALSE);
        CMessageDatabase::GetMessageDatabase()->RegisterLogger(nullptr);
        CDatabaseNotifier::Release();
    }
    m_autopollSettings.SaveSettings(nullptr, &m_autopoll);
}

CProxyConnection* CPOP3Listener::NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                                    int addressLength) {
    CPOP3Connection* connection = new CPOP3Connection(socket, ++s_sessionNumber);
    connection->SetPeerAddress(address);
    return connection;
}

CListener* CPOP3Listener::GetLogger() {
    return m_parent != nullptr ? m_parent->GetLogger() : this;
}

void CPOP3Listener::LogDatabaseLine(unsigned category, const std::string& line) {
    LogData(nullptr, category, line.c_str(), static_cast<int>(line.size()));
}

bool CPOP3Listener::WantsDatabaseLine(unsigned category) {
    CListener* logger = GetLogger();
    return !logger->SkipLog(category) && logger->HasLogOutput();
}
