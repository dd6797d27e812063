#include "proxy/POP3Listener.h"

CPOP3Listener::CPOP3Listener(int port) : CListener(port, PROTOCOL_POP3, "POP3Proxy") {}

CPOP3Listener::~CPOP3Listener() { Shutdown(); }

CProxyConnection* CPOP3Listener::NewProxyConnection(SOCKET socket, const sockaddr_in& address,
                                                    int addressLength) {
    return nullptr;
}
