#include "proxy/SMTPListener.h"

CSMTPListener::CSMTPListener(int port) : CListener(port, PROTOCOL_SMTP, "SMTPProxy") {}

CSMTPListener::~CSMTPListener() { Shutdown(); }

CProxyConnection* CSMTPListener::NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                                    int addressLength) {
    return nullptr;
}
