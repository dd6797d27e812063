#include "proxy/POP3TLS.h"

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/Logger.h"
#include "kinbook/TextHelpers.h"

namespace {

bool OffersSTLS(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        const std::string word = line.substr(0, line.find_first_of(" \t"));
        if (CompareNoCase(word.c_str(), "STLS") == 0)
            return true;
    }
    return false;
}

}  // namespace

CPOP3TLS::CPOP3TLS(IPOP3SessionHost& host, CLogger& log) : m_host(host), m_log(log) {}

void CPOP3TLS::Choose(const std::string& host, int port, const std::string& user) {
    m_hostName = host;
    m_secured = m_awaitingReply = false;
    m_insecure = false;
    m_caFile.clear();
    CAccountData* account = FindAccountByHostPort(host.c_str(), port, user.c_str());
    std::string badSetting;
    m_mode = GetServerTLSMode(account, port, &badSetting);
    if (!badSetting.empty())
        m_log.LogFormat(LOG_INFO, "ServerTLS \"%s\" is no TLS mode; using %s", badSetting.c_str(),
                        TLSModeName(m_mode));
    if (account != nullptr) {
        m_caFile = account->m_tlsCAFile;
        m_insecure = account->m_tlsInsecure;
        CRefCount::DoRelease(account);
    }
    if (m_caFile.empty())
        m_caFile = GetGlobalTLSCAFile();
    if (m_mode == ETLSMode::kNone)
        m_log.LogFormat(LOG_INFO, "Connection to %s in clear (TLS mode none)", host.c_str());
    else if (m_insecure)
        m_log.LogFormat(LOG_INFO,
                        "Certificate of %s is not checked: the account is set to TLS insecure",
                        host.c_str());
}

CPOP3TLS::EStep CPOP3TLS::Fail(const std::string& reason) {
    m_awaitingReply = m_handshaking = false;
    m_failure = "-ERR " + reason;
    m_log.LogFormat(LOG_INFO, "Connection to %s refused: %s", m_hostName.c_str(), reason.c_str());
    return EStep::kFailed;
}

CPOP3TLS::EStep CPOP3TLS::StartHandshake() {
    std::string error;
    if (!m_host.StartTLS(m_hostName, m_caFile, !m_insecure, error))
        return Fail("TLS with " + m_hostName + " failed: " + error);
    m_handshaking = true;
    return EStep::kWait;
}

CPOP3TLS::EStep CPOP3TLS::OnConnected() {
    return m_mode == ETLSMode::kPOP3S && !m_secured ? StartHandshake() : EStep::kProceed;
}

CPOP3TLS::EStep CPOP3TLS::OnCapabilities(const std::vector<std::string>& lines) {
    if (m_mode != ETLSMode::kSTLS || m_secured)
        return EStep::kProceed;
    // Without STLS in the list (a server without TLS, or someone in the path who took
    // it out) the log-in would go in clear.
    if (!OffersSTLS(lines))
        return Fail("Server " + m_hostName + " does not offer STLS; not logging in without TLS");
    m_awaitingReply = true;
    m_host.SendServer("STLS");
    return EStep::kWait;
}

CPOP3TLS::EStep CPOP3TLS::OnReply(const std::string& line) {
    m_awaitingReply = false;
    if (line.compare(0, 3, "+OK") != 0)
        return Fail("Server " + m_hostName + " refused STLS: " + line);
    return StartHandshake();
}

CPOP3TLS::EStep CPOP3TLS::OnTimeout(int seconds) {
    m_handshaking = false;
    return Fail("TLS with " + m_hostName + " failed: no answer from the server in " +
                std::to_string(seconds) + " seconds");
}

CPOP3TLS::EStep CPOP3TLS::OnHandshake(const std::string& error) {
    m_handshaking = false;
    if (!error.empty())
        return Fail("TLS with " + m_hostName + " failed: " + error);
    m_secured = true;
    m_log.LogFormat(LOG_INFO, "TLS with %s established", m_hostName.c_str());
    return EStep::kProceed;
}
