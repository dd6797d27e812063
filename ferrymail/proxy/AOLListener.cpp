#include "proxy/AOLListener.h"

#include <atomic>

#include "proxy/AOLConnection.h"

namespace {

// Every AOL session of the process has its own number, the first being 1.
std::atomic<int> s_sessionNumber{0};

}  // namespace

CAOLListener::CAOLListener(int port) : CListener(port, PROTOCOL_AOL, "AOLProxy") {}

CAOLListener::~CAOLListener() { Shutdown(); }

CProxyConnection* CAOLListener::NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                                    int addressLength) {
    CAOLConnection* connection = new CAOLConnection(socket, ++s_sessionNumber);
    connection->SetPeerAddress(address);
    return connection;
}
