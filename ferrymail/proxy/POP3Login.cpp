#include "proxy/POP3Login.h"


#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "ferrymail/proxy/Logger.h"
#include "kinbook/foundation/TextHelpers.h"
#include "proxy/POP3Account.h"
#include "proxy/POP3Capabilities.h"
#include "proxy/ProxyConnection.h"
#include "proxy/ServerTLS.h"

namespace {

// The port of "host:port": 0 when there is none, -1 when its digits are no port.
int PortOf(const std::string& host, size_t& colon) {
    colon = host.rfind(':');
    if (colon == std::string::npos || colon + 1 >= host.size() ||
        host.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return 0;
    long port = 0;
    for (size_t i = colon + 1; i < host.size() && port <= 65535; ++i)
        port = port * 10 + (host[i] - '0');
    return port > 0 && port <= 65535 ? static_cast<int>(port) : -1;
}

// Whether `host` can be a host name (or an address literal): labels of letters, digits,
// '-' and '_' of 1 to 63 characters, at most 253 in all, one final dot allowed. Anything
// else is refused before any name service sees it.
bool IsHostName(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty() || name.size() > 253)
        return false;
    size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!allowed || ++label > 63)
            return false;
    }
    return label != 0;
}

}  // namespace

CPOP3Login::CPOP3Login(IPOP3SessionHost& host, CLogger& log, CPOP3Account& account, CServerTLS& tls)
    : m_host(host), m_log(log), m_account(account), m_tls(tls) {}

void CPOP3Login::Send(const std::string& text) {
    m_host.SendClient(text.data(), text.size());
}

CPOP3Login::EStep CPOP3Login::OnCommand(const SPOP3Command& command) {
    if (command.Is(EPOP3Command::kConnect)) {
        // A named host tried before and not reached leaves nothing behind.
        m_namedHost = false;
        m_serverHost.clear();
        std::string clientName;
        const int result = m_host.ConnectRelayed(command.argument, clientName);
        if (!clientName.empty())
            m_account.SetClientName(clientName);
        return AfterConnect(result);
    }
    if (command.Is(EPOP3Command::kQuit)) {
        // The reply is still queued: the client is closed once it has left.
        Send("+OK\r\n");
        return EStep::kEnd;
    }
    const size_t slash = command.argument.find('/');
    if (command.Is(EPOP3Command::kUser) && slash != std::string::npos && slash > 0)
        return ConnectNamedHost(command.argument);
    // Before the server is known the proxy speaks for itself.
    Send(command.Is(EPOP3Command::kCapa) ? CPOP3Capabilities::OwnReply()
                                         : "-ERR Not connected to server\r\n");
    return EStep::kNone;
}

// USER user/host[:port]: the host is the server, the user part the user name.
CPOP3Login::EStep CPOP3Login::ConnectNamedHost(const std::string& argument) {
    const size_t slash = argument.find('/');
    m_account.SetUserName(argument.substr(0, slash));
    m_account.SetClientName("Direct client");
    m_namedHost = true;
    m_serverHost = argument.substr(slash + 1);
    size_t colon = 0;
    int port = PortOf(m_serverHost, colon);
    if (port > 0)
        m_serverHost.resize(colon);
    else if (port == 0)
        port = CProxyConnection::kNamedHostPort;
    if (port < 0 || !IsHostName(m_serverHost)) {
        m_log.LogFormat(LOG_INFO, "Not a host name or port: %s", m_serverHost.c_str());
        return AfterConnect(CTS_FAILED);
    }
    m_serverPort = port;
    m_tls.Choose(m_serverHost, port, m_account.UserName());
    return AfterConnect(m_host.ConnectNamed(m_serverHost, port));
}

CPOP3Login::EStep CPOP3Login::AfterConnect(int result) {
    if (result == CTS_FAILED) {
        // A relayed destination has had its error number already.
        if (m_namedHost)
            Send("-ERR Can't connect to " + m_serverHost + "\r\n");
        return EStep::kFailed;
    }
    if (result == CTS_PENDING)
        return EStep::kConnecting;
    m_log.Log(LOG_INFO, "Connection completed");
    if (m_namedHost)
        return EStep::kAskCapabilities;
    Send("0\r\n");
    return EStep::kConnected;
}

CPOP3Login::EStep CPOP3Login::OnConnect(int errorCode) {
    if (errorCode == 0)
        return AfterConnect(CTS_CONNECTED);
    if (m_namedHost) {
        // The address is in network order: its bytes in memory are the dotted parts.
        const uint32_t address = m_host.ServerAddress();
        unsigned char parts[4];
        std::memcpy(parts, &address, sizeof parts);
        char text[96];
        std::snprintf(text, sizeof text, "-ERR Connection to %u.%u.%u.%u failed: %d\r\n",
                      parts[0], parts[1], parts[2], parts[3], errorCode);
        Send(text);
    } else {
        Send(std::to_string(errorCode) + "\r\n");
    }
    return EStep::kFailed;
}

bool CPOP3Login::IsForServer(const std::string& name, std::string& user,
                             std::string& refusal) const {
    const size_t slash = name.find('/');
    if (slash == std::string::npos || slash == 0) {
        user = name;
        return true;
    }
    user = name.substr(0, slash);
    std::string host = name.substr(slash + 1);
    size_t colon = 0;
    int port = PortOf(host, colon);
    if (port > 0)
        host.resize(colon);
    else if (port == 0)
        port = CProxyConnection::kNamedHostPort;
    if (port == m_serverPort && CompareNoCase(host.c_str(), m_serverHost.c_str()) == 0)
        return true;
    refusal = std::string("-ERR Connected to ")
                  .append(m_serverHost)
                  .append(":")
                  .append(std::to_string(m_serverPort))
                  .append("; log in there or reconnect");
    return false;
}
