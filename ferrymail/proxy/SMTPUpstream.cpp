#include "proxy/SMTPUpstream.h"

#include "ferrymail/proxy/Logger.h"
#include "proxy/ProxyConnection.h"
#include "proxy/SMTPCommand.h"

CSMTPUpstream::CSMTPUpstream(ISMTPSessionHost& host, CLogger& log)
    : m_host(host), m_log(log), m_tls(host, log, CServerTLS::EProtocol::kSMTP) {}

CSMTPUpstream::EStep CSMTPUpstream::Fail(const std::string& line) {
    m_phase = EPhase::kIdle;
    m_host.StopClock();
    m_failure = line;
    m_log.LogFormat(LOG_INFO, "Named host %s:%d refused: %s", m_hostName.c_str(), m_port,
                    line.c_str());
    return EStep::kFailed;
}

CSMTPUpstream::EStep CSMTPUpstream::Start(const std::string& host, int port,
                                          const std::string& user, const std::string& heloName) {
    m_hostName = host;
    m_port = port;
    m_heloName = heloName.empty() ? "localhost" : heloName;
    m_keywords.clear();
    m_failure.clear();
    m_tlsUpgraded = false;
    m_tls.Choose(host, port, user);
    m_log.LogFormat(LOG_INFO, "Connecting to %s:%d for %s", host.c_str(), port, user.c_str());
    m_phase = EPhase::kConnecting;
    m_idleTicks = 0;
    m_host.StartClock();
    const int result = m_host.ConnectNamed(host, port);
    if (result == CTS_FAILED)
        return Fail("451 4.4.1 Cannot connect to " + host + ":" + std::to_string(port));
    return result == CTS_CONNECTED ? OnConnect(0) : EStep::kWait;
}

CSMTPUpstream::EStep CSMTPUpstream::OnConnect(int errorCode) {
    if (m_phase != EPhase::kConnecting)
        return EStep::kWait;
    m_idleTicks = 0;
    if (errorCode != 0)
        return Fail("451 4.4.1 Cannot connect to " + m_hostName + ":" + std::to_string(m_port) +
                    " (error " + std::to_string(errorCode) + ")");
    m_phase = EPhase::kGreeting;
    return AfterTLS(m_tls.OnConnected());
}

CSMTPUpstream::EStep CSMTPUpstream::AfterTLS(CServerTLS::EStep step) {
    switch (step) {
        case CServerTLS::EStep::kFailed:
            return Fail(m_tls.Failure());
        case CServerTLS::EStep::kWait:
            if (m_phase != EPhase::kStartTLS)
                m_phase = EPhase::kHandshake;
            return EStep::kWait;
        case CServerTLS::EStep::kProceed:
            break;
    }
    return EStep::kWait;
}

CSMTPUpstream::EStep CSMTPUpstream::OnSecured(const std::string& error) {
    if (m_phase != EPhase::kHandshake)
        return EStep::kWait;
    m_idleTicks = 0;
    const CServerTLS::EStep step = m_tls.OnHandshake(error);
    if (step == CServerTLS::EStep::kFailed)
        return Fail(m_tls.Failure());
    // TLS at once: the greeting follows; after STARTTLS the session starts over with EHLO.
    if (m_keywords.empty() && !m_tlsUpgraded) {
        m_phase = EPhase::kGreeting;
        return EStep::kWait;
    }
    return SendEhlo();
}

CSMTPUpstream::EStep CSMTPUpstream::SendEhlo() {
    m_keywords.clear();
    m_phase = EPhase::kEhlo;
    m_host.SendServer("EHLO " + m_heloName);
    return EStep::kWait;
}

CSMTPUpstream::EStep CSMTPUpstream::OnServerLine(const std::string& line) {
    m_idleTicks = 0;
    if (m_phase == EPhase::kEhlo && line.size() > 4 && line[0] == '2')
        m_keywords.push_back(line.substr(4));
    if (!SSMTPCommand::IsFinalReplyLine(line))
        return EStep::kWait;
    return OnReply(line);
}

CSMTPUpstream::EStep CSMTPUpstream::OnReply(const std::string& line) {
    const bool positive = !line.empty() && line[0] == '2';
    switch (m_phase) {
        case EPhase::kGreeting:
            if (!positive)
                return Fail("451 4.4.0 " + m_hostName + " did not greet: " + line);
            return SendEhlo();
        case EPhase::kEhlo: {
            if (!positive)
                return Fail("451 4.4.0 " + m_hostName + " refused EHLO: " + line);
            const CServerTLS::EStep step = m_tls.OnCapabilities(m_keywords);
            if (step == CServerTLS::EStep::kProceed) {
                m_phase = EPhase::kReady;
                m_host.StopClock();
                return EStep::kReady;
            }
            if (step == CServerTLS::EStep::kWait)
                m_phase = EPhase::kStartTLS;
            return AfterTLS(step);
        }
        case EPhase::kStartTLS: {
            m_tlsUpgraded = true;
            m_phase = EPhase::kHandshake;
            return AfterTLS(m_tls.OnReply(line));
        }
        default:
            return EStep::kWait;
    }
}

CSMTPUpstream::EStep CSMTPUpstream::OnServerClose() {
    if (!IsActive())
        return EStep::kWait;
    return Fail("421 4.4.2 " + m_hostName + " closed the connection");
}

CSMTPUpstream::EStep CSMTPUpstream::OnClock() {
    if (!IsActive() || ++m_idleTicks < kSetupSeconds)
        return EStep::kWait;
    if (m_tls.IsWaiting()) {
        m_tls.OnTimeout(kSetupSeconds);
        return Fail(m_tls.Failure());
    }
    return Fail("451 4.4.2 " + m_hostName + " did not answer in " +
                std::to_string(kSetupSeconds) + " seconds");
}
