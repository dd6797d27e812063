// What the POP3 session machine asks of its connection: the bytes and lines it sends,
// the connect, the slow response's clock and the notifications. The machine itself
// holds no socket; CPOP3Connection carries these out on its sockets, and the unit tests
// record them.
#pragma once

#include <cstdint>
#include <string>

#include "kinbook/foundation/Types.h"
#include "proxy/POP3Statistics.h"
#include "proxy/ServerTLSHost.h"

class IPOP3SessionHost : public IServerTLSHost {
public:
    // SendServer and StartTLS come from IServerTLSHost; the end of a handshake goes to
    // the machine's OnServerSecured.
    // Bytes for the client: whole lines with their CR LF (or slow-response characters).
    virtual void SendClient(const char* data, size_t size) = 0;
    virtual bool IsClientOpen() = 0;
    virtual bool IsServerOpen() = 0;
    // Sends what is queued for the client now.
    virtual void FlushClient() = 0;
    // Connects to the relayed destination of a CONNECT line ("a.b.c.d:port text";
    // `text` receives the text) or to a named host: CTS_FAILED, CTS_PENDING (the
    // machine's OnServerConnect follows) or CTS_CONNECTED.
    virtual int ConnectRelayed(const std::string& argument, std::string& text) = 0;
    virtual int ConnectNamed(const std::string& host, int port) = 0;
    // The connected server's IPv4 address in network order.
    virtual uint32_t ServerAddress() = 0;
    // Ends the session: the server is closed and the client follows once its queued
    // replies have left.
    virtual void EndSession() = 0;
    // A clock that calls the machine's OnClock once a second, and its end.
    virtual void StartClock() = 0;
    virtual void StopClock() = 0;
    // Notifications for the user interface: a text, or a code of the session's store
    // with a number.
    virtual void Notify(UINT wParam, const std::string& text) = 0;
    virtual void NotifyStore(int code, int data) = 0;
    // The server socket's byte counters.
    virtual CPOP3Statistics::SBytes ServerBytes() = 0;
};
