// One client of the AOL proxy: waits for the CONNECT line that names the real server,
// then relays the client's and the server's FLAP frames unchanged and logs each one in
// a readable form. Created by CAOLListener; everything runs on the session's own thread.
#pragma once

#include <string>

#include "proxy/ProxyConnection.h"

class CAOLConnection : public CProxyConnection {
public:
    static constexpr const char* kGreeting = "localhost Quillon AOL proxy server";
    // Where the destination starts in the CONNECT line ("CONNECT a.b.c.d:port ...").
    static constexpr size_t kDestinationOffset = 8;

    CAOLConnection(SOCKET client, int number);
    ~CAOLConnection() override;

    // On from the moment the CONNECT line is taken; off again when the connect fails.
    bool IsBinaryMode() const { return m_binaryMode; }

    void InitializeThread() override;
    void OnClientLine(std::string& line) override;
    void OnServerLine(std::string& line) override;
    void OnServerConnect(int errorCode) override;
    // In binary mode a whole FLAP frame; bytes that cannot begin one end the session.
    BOOL GetLine(SInputBuffer& input, std::string& line) override;
    unsigned GetLogCategory(int direction) override;
    // Closes the server socket and drops what was still queued for it.
    void CloseServer() override;
    int FormatLogData(std::string& out, unsigned category, const char* data,
                      int length) override;

private:
    // The server has accepted the connection.
    void OnConnected();

    bool m_binaryMode = false;
};
