#include "proxy/POP3Session.h"

#include <cstddef>
#include <utility>

#include "ferrymail/proxy/Logger.h"
#include "ferrymail/store/MessageStore.h"
#include "proxy/ProxyConnection.h"

// TopLines: by default the header and the first 10 body lines of a new message.
// ServerTimeout: a synchronization waits five minutes for a silent server.
const SSetting CPOP3Session::cm_pSessionSettings[] = {
    {"TopLines", offsetof(SSessionSettings, topLines), ST_INTEGER, nullptr, 10},
    {"ServerTimeout", offsetof(SSessionSettings, serverTimeout), ST_INTEGER, nullptr, 300},
    {nullptr, 0, 0, nullptr, 0},
};

CPOP3Session::CPOP3Session(IPOP3SessionHost& host, CLogger& log, bool deliverLocal)
    : m_host(host),
      m_log(log),
      m_settings("POP3Proxy", cm_pSessionSettings),
      m_sync(host, log, m_statistics, m_sessionSettings.topLines),
      m_account(host, m_sync, m_settings, &m_sessionSettings),
      m_login(host, log, m_account, m_capabilities),
      m_answers(host, log, m_sync, m_statistics, m_account, deliverLocal) {
    m_settings.ReloadSettings(nullptr, &m_sessionSettings);
}

CPOP3Session::~CPOP3Session() { m_sync.CloseStore(); }

void CPOP3Session::Start() { SendLine("+OK Quillon POP3 proxy server"); }

void CPOP3Session::Send(const std::string& text) { m_host.SendClient(text.data(), text.size()); }

void CPOP3Session::SendLine(const std::string& line) { Send(line + "\r\n"); }

unsigned CPOP3Session::LogCategory(int direction) const {
    switch (direction) {
        case DIR_FROM_SERVER: {
            const SPOP3Command& command = m_sync.IsPending() ? m_sync.Command() : m_client;
            return command.replyStarted ? LOG_DATA_FROM_SERVER : LOG_FROM_SERVER;
        }
        case DIR_TO_SERVER:
            return LOG_TO_SERVER;
        case DIR_FROM_CLIENT:
            return LOG_FROM_CLIENT;
        case DIR_TO_CLIENT:
            // What follows a multi-line reply's first line is data; replies, the proxy's
            // own lines among them, are the protocol.
            return m_client.Outstanding() && m_client.multiLine && m_client.replyRelayed
                       ? LOG_DATA_TO_CLIENT
                       : LOG_TO_CLIENT;
        default:
            return LOG_INFO;
    }
}

bool CPOP3Session::Busy() const {
    // While the server connection is being made, commands wait for it.
    return m_state == EPOP3State::kConnecting || (m_state >= EPOP3State::kAuthorization &&
                                                  (m_client.Outstanding() || m_sync.IsPending()));
}

void CPOP3Session::OnClientLine(const std::string& line) {
    // A SASL response is no command: it answers the challenge the client was sent.
    if (m_login.TakesClientLine()) {
        AfterLogin(m_login.OnClientLine(line, m_client));
        return;
    }
    if (!Busy() && m_queuedLines.empty()) {
        HandleClientLine(line);
        return;
    }
    // A pipelining client's next command goes to the server at once when its reply will
    // simply be relayed; anything else waits its turn behind the current command.
    if (m_queuedLines.empty() && RelayAhead(line))
        return;
    m_queuedLines.push_back(line);
}

bool CPOP3Session::RelayAhead(const std::string& line) {
    if (m_state != EPOP3State::kTransaction || m_sync.IsPending() || m_slow.IsActive() ||
        !m_client.Outstanding() || !m_host.IsServerOpen() || m_capabilities.Pipelining() != 1 ||
        !m_client.RelaysAhead(m_account.IsFiltering()))
        return false;
    SPOP3Command current = std::move(m_client);
    ParseClientLine(line);
    const bool relayed = m_client.MayGoAhead(m_account.IsFiltering(), m_answers.DeliversLocally());
    if (relayed) {
        if (!m_account.IsFiltering())
            m_client.text = SPOP3Command::Trim(line);
        else if (m_client.Is(EPOP3Command::kDele))
            m_sync.ForgetServerCount();
        if (m_client.Is(EPOP3Command::kRetr) && m_account.IsFiltering())
            ++m_statistics.m_retrieved;
        RelayClientCommand();
        m_clientAhead.push_back(std::move(m_client));
    }
    m_client = std::move(current);
    return relayed;
}

void CPOP3Session::DrainQueuedLines() {
    while (!m_queuedLines.empty() && !Busy() && m_host.IsClientOpen()) {
        std::string line = std::move(m_queuedLines.front());
        m_queuedLines.pop_front();
        HandleClientLine(line);
    }
}

void CPOP3Session::ParseClientLine(const std::string& line) {
    m_client = SPOP3Command::Parse(line);
    m_answers.TranslateNumber(m_client, m_account.IsFiltering());
}

void CPOP3Session::HandleClientLine(const std::string& line) {
    ParseClientLine(line);
    switch (m_state) {
        case EPOP3State::kNotConnected:
            NotConnected();
            break;
        case EPOP3State::kConnecting:
            m_client.Reset();
            SendLine("-ERR Not connected to server yet");
            break;
        case EPOP3State::kAuthorization:
            AfterLogin(m_login.OnAuthorization(m_client));
            break;
        case EPOP3State::kTransaction:
            if (!m_account.IsFiltering()) {
                m_client.text = SPOP3Command::Trim(line);
                RelayClientCommand();
            } else if (m_client.Is(EPOP3Command::kQuit)) {
                AnswerQuit();
            } else if (!m_answers.Answer(m_client, m_capabilities)) {
                RelayClientCommand();
            }
            break;
        case EPOP3State::kDisconnecting:
            m_client.Reset();
            SendLine("-ERR Disconnecting from server");
            break;
    }
}

void CPOP3Session::RelayClientCommand() {
    m_client.replyStarted = false;
    m_client.replyRelayed = false;
    m_client.headerPassed = false;
    m_host.SendServer(m_client.text);
}

// ---------------------------------------------------------------------------------------
// Reaching the server and logging in (CPOP3ServerLogin).

void CPOP3Session::NotConnected() {
    const bool connect = m_client.Is(EPOP3Command::kConnect);
    const CPOP3ServerLogin::EStep step = m_login.OnCommand(m_client);
    // After CONNECT the command stays outstanding: the server's greeting is its reply.
    if (!connect)
        m_client.Reset();
    AfterLogin(step);
}

void CPOP3Session::OnServerConnect(int errorCode) {
    if (m_state == EPOP3State::kConnecting)
        AfterLogin(m_login.OnConnect(errorCode));
}

void CPOP3Session::OnServerSecured(const std::string& error) {
    if (m_state == EPOP3State::kConnecting)
        AfterLogin(m_login.OnSecured(error));
}

void CPOP3Session::AfterLogin(CPOP3ServerLogin::EStep step) {
    using EStep = CPOP3ServerLogin::EStep;
    switch (step) {
        case EStep::kNone:
            break;
        case EStep::kSecuring:
            m_serverIdle = 0;
            [[fallthrough]];
        case EStep::kConnecting:
            m_state = EPOP3State::kConnecting;
            break;
        case EStep::kFailed:
            m_client.Reset();
            [[fallthrough]];
        case EStep::kConnected:
            m_state =
                step == EStep::kFailed ? EPOP3State::kNotConnected : EPOP3State::kAuthorization;
            DrainQueuedLines();
            break;
        case EStep::kAskCapabilities:
            m_state = EPOP3State::kAuthorization;
            m_capabilities.Clear();
            SendInternal(EPOP3Command::kCapa, -1, EInternalJob::kContinueLogin);
            break;
        case EStep::kRelay:
            RelayClientCommand();
            break;
        case EStep::kSynchronize:
            StartSynchronization(m_login.TakeHeldReply());
            break;
        case EStep::kRefused:
            m_state = EPOP3State::kNotConnected;
            m_queuedLines.clear();
            [[fallthrough]];
        case EStep::kEnd:
            m_host.EndSession();
            break;
    }
}

// ---------------------------------------------------------------------------------------
// The transaction state of a filtered account.

// The messages the user deleted in review leave the server first (the synchronizer sends
// one DELE after the other), then a STAT records the mailbox when its count is unknown.
void CPOP3Session::AnswerQuit() {
    const int first = m_sync.NextToDelete();
    if (first == 0 && m_sync.ServerCountKnown()) {
        m_state = EPOP3State::kDisconnecting;
        RelayClientCommand();
        return;
    }
    if (first != 0) {
        ++m_statistics.m_shutdownDeletes;
        m_statistics.StartShutdownDeletes();
        m_account.PostAboutAccount(20119);
    }
    SendInternal(first != 0 ? EPOP3Command::kDele : EPOP3Command::kStat, first != 0 ? first : -1,
                 EInternalJob::kRelayClientCommand);
}

// ---------------------------------------------------------------------------------------
// Server lines.

void CPOP3Session::OnServerLine(const std::string& line) {
    m_serverIdle = 0;
    CPOP3ServerLogin::EStep step = CPOP3ServerLogin::EStep::kNone;
    if (m_login.OnServerLine(line, m_sync.IsPending(), step)) {
        AfterLogin(step);
        return;
    }
    if (m_sync.IsPending()) {
        OnInternalLine(line);
        return;
    }
    if (!m_client.Outstanding()) {
        // A plain relay passes on the replies to commands it has no code for (CAPA,
        // AUTH, XTND...), whatever their length.
        if (m_state == EPOP3State::kTransaction && !m_account.IsFiltering())
            SendLine(line);
        return;
    }
    OnClientReplyLine(line);
}

// The body of a message being downloaded, or of one relayed to the client once its
// notes are in, is taken in whole blocks; first lines, headers and the final "." come
// line by line.
size_t CPOP3Session::OnServerBlock(const char* data, size_t size) {
    m_serverIdle = 0;
    if (m_sync.IsPending())
        return m_sync.OnBlock(data, size);
    return m_client.Outstanding() ? m_answers.RelayBlock(m_client, data, size) : 0;
}

bool CPOP3Session::OnServerLinePiece(const char* data, size_t size, bool first, bool last) {
    m_serverIdle = 0;
    if (m_sync.IsPending())
        return m_sync.OnLongLine(first);
    return m_answers.RelayPiece(m_client,
                                m_state == EPOP3State::kTransaction && !m_account.IsFiltering(),
                                data, size, first, last);
}

void CPOP3Session::ClientCommandDone() {
    m_client.Reset();
    if (!m_clientAhead.empty()) {
        // The next relayed command's reply follows.
        m_client = std::move(m_clientAhead.front());
        m_clientAhead.pop_front();
        if (m_client.Is(EPOP3Command::kRetr) && m_account.IsFiltering())
            m_statistics.StartRetrieve(m_host.ServerBytes());
        return;
    }
    DrainQueuedLines();
}

void CPOP3Session::OnClientReplyLine(const std::string& line) {
    if (m_client.replyStarted || !SPOP3Command::StartsWith(line, "+OK")) {
        if (!m_client.replyStarted && SPOP3Command::StartsWith(line, "-ERR")) {
            m_client.replyStarted = true;
            SendLine(line);
            m_client.replyRelayed = true;
            if (m_client.Is(EPOP3Command::kQuit) && m_account.IsFiltering() && Store() != nullptr)
                Store()->SaveInBackground(0);
            ClientCommandDone();
            return;
        }
        OnClientReplyData(line);
        return;
    }
    m_client.replyStarted = true;
    if (m_client.Is(EPOP3Command::kCapa) &&
        (m_account.IsFiltering() || m_state < EPOP3State::kTransaction)) {
        m_capabilities.Clear();
        SendLine(line);
        m_client.replyRelayed = true;
        return;
    }
    if (m_client.multiLine) {
        OnClientReplyData(line);
        return;
    }
    OnClientReplyOk(line);
}

// "+OK" to a command with a single-line reply.
void CPOP3Session::OnClientReplyOk(const std::string& line) {
    switch (m_client.code) {
        case EPOP3Command::kPass:
        case EPOP3Command::kApop:
        case EPOP3Command::kAuth:
            m_state = EPOP3State::kTransaction;
            if (m_account.IsFiltering() && !m_sync.IsSynchronized()) {
                AfterLogin(m_login.TakeStore(line, m_client));
                return;
            }
            break;
        case EPOP3Command::kStat:
            if (!m_account.IsFiltering())
                break;
            if (!m_sync.OnStatReply(line, true)) {
                // The client's STAT is answered when the store is in step again.
                StartSynchronization(std::string());
                return;
            }
            m_answers.Stat(true);
            ClientCommandDone();
            return;
        default:
            break;
    }
    m_client.replyRelayed = true;
    SendLine(line);
    if (m_account.IsFiltering())
        m_answers.OnReplyOk(m_client);
    if (m_client.Is(EPOP3Command::kQuit) && m_account.IsFiltering()) {
        if (m_host.IsClientOpen())
            m_host.FlushClient();  // the client reads it while the store is saved
        m_sync.OnQuitAccepted();
    }
    ClientCommandDone();
}

void CPOP3Session::OnClientReplyData(const std::string& line) {
    const bool end = line == ".";
    if (m_client.Is(EPOP3Command::kCapa) &&
        (m_account.IsFiltering() || m_state < EPOP3State::kTransaction)) {
        if (!end) {
            m_capabilities.Note(line);
            return;
        }
        m_capabilities.End(true);
        m_sync.SetPipelining(m_capabilities.Pipelining() == 1);
        Send(m_capabilities.List() + ".\r\n");
        ClientCommandDone();
        return;
    }
    m_answers.RelayLine(m_client, line, m_account.IsFiltering());
    if (end)
        ClientCommandDone();
}

// ---------------------------------------------------------------------------------------
// The session's own commands.

void CPOP3Session::SendInternal(EPOP3Command code, int number, EInternalJob job) {
    m_job = job;
    m_sync.Send(code, number);
}

void CPOP3Session::OnInternalLine(const std::string& line) {
    const bool capabilities = m_sync.Command().Is(EPOP3Command::kCapa);
    const EInternalOutcome outcome = m_sync.OnLine(line);
    if (outcome == EInternalOutcome::kWaiting)
        return;
    if (capabilities && m_job == EInternalJob::kContinueLogin) {
        const CPOP3ServerLogin::EStep step =
            m_login.OnCapabilities(m_sync.CapabilityLines(), m_client);
        if (step == CPOP3ServerLogin::EStep::kRelay)
            m_sync.SetPipelining(m_capabilities.Pipelining() == 1);
        AfterLogin(step);
        return;
    }
    AfterInternal(outcome);
}

void CPOP3Session::AfterInternal(EInternalOutcome outcome) {
    if (outcome == EInternalOutcome::kSynchronized) {
        m_job = EInternalJob::kAnswerClient;
        FinishSlowResponse();
        // Saved by the store's writer thread in a moment, unless the session's end saves
        // it first: the client's next commands do not wait for the records.
        if (Store() != nullptr)
            Store()->SynchronizationDone();
    } else if (outcome == EInternalOutcome::kSynchFailed) {
        // A failed synchronization still completes what the client waits for.
        FinishSlowResponse();
        if (m_client.Is(EPOP3Command::kStat)) {
            SendLine("-ERR " + SPOP3Command::Trim(m_sync.LastError().substr(4)));
            m_client.Reset();
        }
    }
    if (m_job == EInternalJob::kRelayClientCommand && m_client.Outstanding()) {
        if (m_client.Is(EPOP3Command::kQuit))
            m_state = EPOP3State::kDisconnecting;
        RelayClientCommand();
    } else if (m_job == EInternalJob::kAnswerClient && m_client.Is(EPOP3Command::kStat)) {
        m_answers.Stat(false);
        m_client.Reset();
    }
    DrainQueuedLines();
}

void CPOP3Session::StartSynchronization(const std::string& heldReply) {
    m_job = EInternalJob::kAnswerClient;
    m_serverIdle = 0;
    m_sync.StartSynchronization(!heldReply.empty());
    // The clock also times the server; it stops when the synchronization ends.
    m_host.StartClock();
    // A held reply line is given out slowly; a STAT that started this waits in silence.
    if (!heldReply.empty())
        m_slow.Start(heldReply, m_client.simple || !m_client.Outstanding());
}

void CPOP3Session::OnClock() {
    if (m_login.HoldsReply()) {
        AfterLogin(m_login.OnStoreClock(m_client));
        return;
    }
    const int timeout = m_sessionSettings.serverTimeout;
    if (m_login.IsSecuring() && timeout > 0 && ++m_serverIdle >= timeout) {
        AfterLogin(m_login.OnTimeout(m_serverIdle));
        return;
    }
    if (m_sync.IsPending() && timeout > 0 && ++m_serverIdle >= timeout) {
        ServerTimedOut();
        return;
    }
    if (m_slow.IsActive())
        SendSlow(m_slow.Tick());
}

// A silent server would hold the session and its account for ever, the slow response
// keeping the client's own timeout from ever firing.
void CPOP3Session::ServerTimedOut() {
    m_log.LogFormat(LOG_INFO, "No answer from server in %d seconds; synchronization ended",
                    m_serverIdle);
    m_host.StopClock();
    OnServerClose("Server timed out");
    m_client.Reset();
    m_clientAhead.clear();
    m_queuedLines.clear();
    m_host.EndSession();
}

void CPOP3Session::FinishSlowResponse() {
    m_host.StopClock();
    SendSlow(m_slow.Finish());
}

void CPOP3Session::SendSlow(const CSlowResponse::SStep& step) {
    if (!step.bytes.empty())
        Send(step.bytes);
    if (!step.log.empty())
        m_log.Log(LOG_INFO, step.log);
}

void CPOP3Session::OnServerClose(const std::string& reason) {
    const bool waiting = m_state != EPOP3State::kDisconnecting && m_host.IsClientOpen() &&
                         (m_client.Outstanding() || m_sync.IsPending() || !m_clientAhead.empty());
    // A server that goes away in the middle of a synchronization still leaves the
    // client with whole lines before its connection closes.
    if (m_slow.IsActive())
        FinishSlowResponse();
    if (waiting) {
        m_log.LogFormat(LOG_INFO, "%s", reason.c_str());
        SendLine("-ERR " + reason);
    }
    m_sync.OnServerClosed();
    m_clientAhead.clear();
}
