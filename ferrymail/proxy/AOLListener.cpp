#include "proxy/AOLListener.h"

CAOLListener::CAOLListener() : CListener(kPort, PROTOCOL_AOL, "AOLProxy") {}

CAOLListener::~CAOLListener() { Shutdown(); }

CProxyConnection* CAOLListener::NewProxyConnection(SOCKET socket, const sockaddr_in& address,
                                                    int addressLength) {
    return nullptr;
}
