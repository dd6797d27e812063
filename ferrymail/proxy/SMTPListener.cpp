#include "proxy/SMTPListener.h"

CSMTPListener::CSMTPListener(int port) : CListener(port, PROTOCOL_SMTP, "SMTPProxy") {}

CSMTPListener::~CSMTPListener() { Shutdown(); }

CProxyConnection* CSMTPListener::NewProxyConnection(SOCKET socket, const sockaddr_in& address,
                                                    int addressLength) {
    return nullptr;
}
