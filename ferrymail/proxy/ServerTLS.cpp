#include "proxy/ServerTLS.h"

#include <set>

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/Logger.h"
#include "kinbook/foundation/TextHelpers.h"
#include "tls/TLSChannel.h"

namespace {

bool Offers(const std::vector<std::string>& lines, const char* command) {
    for (const std::string& line : lines) {
        const std::string word = line.substr(0, line.find_first_of(" \t"));
        if (CompareNoCase(word.c_str(), command) == 0)
            return true;
    }
    return false;
}

// The CA file trusted beside the system's store for an account whose own setting is
// `accountFile`: that one, else the global "TLSCAFile".
std::string TrustedCAFile(const std::string& accountFile) {
    return accountFile.empty() ? GetGlobalTLSCAFile() : accountFile;
}

int NoteCAFile(CAccountData* account, void* parameter) {
    if (!account->m_tlsInsecure)
        static_cast<std::set<std::string>*>(parameter)->insert(account->m_tlsCAFile);
    return 0;
}

}  // namespace

void CServerTLS::PrepareContexts() {
    std::set<std::string> files{std::string()};  // hosts without an account
    LoadAccountTable(FALSE);
    EnumAccountData(NoteCAFile, &files);
    for (const std::string& file : files) {
        std::string error;
        CTLSChannel::Prepare({std::string(), TrustedCAFile(file), true}, error);
    }
}

CServerTLS::CServerTLS(IServerTLSHost& host, CLogger& log, EProtocol protocol)
    : m_host(host), m_log(log), m_protocol(protocol) {}

void CServerTLS::Choose(const std::string& host, int port, const std::string& user) {
    m_hostName = host;
    m_secured = m_awaitingReply = false;
    m_insecure = false;
    m_caFile.clear();
    const bool smtp = m_protocol == EProtocol::kSMTP;
    CAccountData* account = smtp ? FindAccountBySMTPServer(host.c_str(), port, user.c_str())
                                 : FindAccountByHostPort(host.c_str(), port, user.c_str());
    std::string badSetting;
    if (smtp) {
        // The mail-wide "ServerTLS" is about POP3 servers: for SMTP only the account's own
        // mode may send credentials in clear.
        const bool clear = account != nullptr && account->m_tlsModeSet &&
                           account->m_tlsMode == ETLSMode::kNone;
        m_mode = clear                          ? ETLSMode::kNone
                 : port == kSMTPImplicitTLSPort ? ETLSMode::kPOP3S
                                                : ETLSMode::kSTLS;
    } else {
        m_mode = GetServerTLSMode(account, port, &badSetting);
    }
    if (!badSetting.empty())
        m_log.LogFormat(LOG_INFO, "ServerTLS \"%s\" is no TLS mode; using %s", badSetting.c_str(),
                        TLSModeName(m_mode));
    if (account != nullptr) {
        m_caFile = account->m_tlsCAFile;
        m_insecure = account->m_tlsInsecure;
        CRefCount::DoRelease(account);
    }
    m_caFile = TrustedCAFile(m_caFile);
    if (m_mode == ETLSMode::kNone)
        m_log.LogFormat(LOG_INFO, "Connection to %s in clear (TLS mode none)", host.c_str());
    else if (m_insecure)
        m_log.LogFormat(LOG_INFO,
                        "Certificate of %s is not checked: the account is set to TLS insecure",
                        host.c_str());
}

CServerTLS::EStep CServerTLS::Fail(const std::string& reason) {
    m_awaitingReply = m_handshaking = false;
    m_failure = (m_protocol == EProtocol::kPOP3 ? "-ERR " : "454 4.7.0 ") + reason;
    m_log.LogFormat(LOG_INFO, "Connection to %s refused: %s", m_hostName.c_str(), reason.c_str());
    return EStep::kFailed;
}

CServerTLS::EStep CServerTLS::StartHandshake() {
    std::string error;
    if (!m_host.StartTLS(m_hostName, m_caFile, !m_insecure, error))
        return Fail("TLS with " + m_hostName + " failed: " + error);
    m_handshaking = true;
    return EStep::kWait;
}

CServerTLS::EStep CServerTLS::OnConnected() {
    return m_mode == ETLSMode::kPOP3S && !m_secured ? StartHandshake() : EStep::kProceed;
}

CServerTLS::EStep CServerTLS::OnCapabilities(const std::vector<std::string>& lines) {
    if (m_mode != ETLSMode::kSTLS || m_secured)
        return EStep::kProceed;
    // Without STLS in the list (a server without TLS, or someone in the path who took
    // it out) the log-in would go in clear.
    if (!Offers(lines, Command()))
        return Fail("Server " + m_hostName + " does not offer " + Command() +
                    "; not logging in without TLS");
    m_awaitingReply = true;
    m_host.SendServer(Command());
    return EStep::kWait;
}

CServerTLS::EStep CServerTLS::OnReply(const std::string& line) {
    m_awaitingReply = false;
    if (line.compare(0, 3, m_protocol == EProtocol::kPOP3 ? "+OK" : "220") != 0)
        return Fail("Server " + m_hostName + " refused " + Command() + ": " + line);
    return StartHandshake();
}

CServerTLS::EStep CServerTLS::OnTimeout(int seconds) {
    m_handshaking = false;
    return Fail("TLS with " + m_hostName + " failed: no answer from the server in " +
                std::to_string(seconds) + " seconds");
}

CServerTLS::EStep CServerTLS::OnHandshake(const std::string& error) {
    m_handshaking = false;
    if (!error.empty())
        return Fail("TLS with " + m_hostName + " failed: " + error);
    m_secured = true;
    m_log.LogFormat(LOG_INFO, "TLS with %s established", m_hostName.c_str());
    return EStep::kProceed;
}
