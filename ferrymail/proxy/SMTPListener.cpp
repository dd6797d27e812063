#include "proxy/SMTPListener.h"

#include <atomic>

#include "proxy/DatabaseNotifier.h"
#include "proxy/SMTPConnection.h"

namespace {

// Every SMTP session of the process has its own number, the first being 1.
std::atomic<int> s_sessionNumber{0};

}  // namespace

CSMTPListener::CSMTPListener(int port) : CListener(port, PROTOCOL_SMTP, "SMTPProxy") {
    CDatabaseNotifier::Acquire();
}

CSMTPListener::~CSMTPListener() {
    // The sessions end (and post their last notifications) before the notifier goes.
    Shutdown();
    CDatabaseNotifier::Release();
}

CProxyConnection* CSMTPListener::NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                                    int /*addressLength*/) {
    CSMTPConnection* connection = new CSMTPConnection(socket, ++s_sessionNumber);
    connection->SetPeerAddress(address);
    return connection;
}
