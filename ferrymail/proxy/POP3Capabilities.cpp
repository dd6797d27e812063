#include "proxy/POP3Capabilities.h"

#include "kinbook/foundation/TextHelpers.h"
#include "proxy/SASLRelay.h"

namespace {

// Before a server is known a client may also log in with SASL (see CSASLRelay).
constexpr const char kOwnCapabilities[] = "USER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n";

constexpr const char kPipelining[] = "PIPELINING\r\n";

// Capabilities of the server that the proxy passes on unchanged. Anything else (STLS,
// SASL, UTF8, extensions) needs commands the proxy does not relay in the authorization
// state or does not understand, so the client is not told of them.
bool IsPassed(const std::string& word) {
    static const char* const kPassed[] = {"USER",        "TOP",    "UIDL",           "RESP-CODES",
                                          "LOGIN-DELAY", "EXPIRE", "IMPLEMENTATION", "PIPELINING"};
    for (const char* passed : kPassed)
        if (CompareNoCase(word.c_str(), passed) == 0)
            return true;
    return false;
}

}  // namespace

std::string CPOP3Capabilities::OwnReply() {
    return std::string("+OK Capability list follows\r\n") + kOwnCapabilities + "SASL " +
           CSASLRelay::Mechanisms() + "\r\n.\r\n";
}

void CPOP3Capabilities::Note(const std::string& line) {
    const std::string word = line.substr(0, line.find_first_of(" \t"));
    if (CompareNoCase(word.c_str(), "PIPELINING") == 0)
        m_pipelining = 1;
    if (IsPassed(word))
        m_list += line + "\r\n";
}

void CPOP3Capabilities::End(bool forClient) {
    if (m_pipelining != 1)
        m_pipelining = 0;
    // The proxy itself takes pipelined commands, whatever the server does. A server
    // that has no CAPA leaves the list empty: the client then gets the proxy's own.
    if ((forClient || !m_list.empty()) && m_list.find(kPipelining) == std::string::npos)
        m_list += kPipelining;
}

std::string CPOP3Capabilities::Reply() const {
    return "+OK Capability list follows\r\n" + (m_list.empty() ? kOwnCapabilities : m_list) +
           ".\r\n";
}
