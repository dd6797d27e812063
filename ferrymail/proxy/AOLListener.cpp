#include "proxy/AOLListener.h"

CAOLListener::CAOLListener() : CListener(kPort, PROTOCOL_AOL, "AOLProxy") {}

CAOLListener::~CAOLListener() { Shutdown(); }

CProxyConnection* CAOLListener::NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                                    int addressLength) {
    return nullptr;
}
