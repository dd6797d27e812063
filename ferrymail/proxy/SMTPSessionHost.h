// What the SMTP session machine asks of its connection: lines to either side, the
// connects, TLS on the server connection, the notifications and the end. The machine
// holds no socket; CSMTPConnection carries these out on its sockets, and the unit tests
// record them.
#pragma once

#include <string>

#include "kinbook/foundation/RefCount.h"
#include "kinbook/foundation/Types.h"
#include "proxy/ServerTLSHost.h"

class ISMTPSessionHost : public IServerTLSHost {
public:
    // SendServer and StartTLS come from IServerTLSHost; the end of a handshake goes to
    // the machine's OnServerSecured.
    // One line for the client; its CR LF is added.
    virtual void SendClient(const std::string& line) = 0;
    // Connects to the relayed destination of a CONNECT argument ("a.b.c.d:port text"; a
    // failure has already sent its error number to the client) or to a named host:
    // CTS_FAILED, CTS_PENDING (the machine's OnServerConnect follows) or CTS_CONNECTED.
    virtual int ConnectRelayed(const std::string& argument) = 0;
    virtual int ConnectNamed(const std::string& host, int port) = 0;
    // A clock that calls the machine's OnClock once a second, and its end.
    virtual void StartClock() = 0;
    virtual void StopClock() = 0;
    // Closes the server connection; the client stays.
    virtual void CloseServer() = 0;
    // Ends the session: the server is closed and the client follows once its queued
    // replies have left.
    virtual void EndSession() = 0;
    // Notifications for the user interface: a code with a number, and a code carrying a
    // reference-counted object (the callee takes its own reference).
    virtual void NotifyNumber(int code, int data) = 0;
    virtual void NotifyObject(UINT code, CRefCount* object) = 0;
};
