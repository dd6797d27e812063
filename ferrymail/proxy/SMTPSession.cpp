#include "proxy/SMTPSession.h"

#include <cstddef>
#include <vector>

#include "ferrymail/proxy/Logger.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/friends/ImportSource.h"
#include "kinbook/foundation/Sync.h"
#include "proxy/ProxyConnection.h"

namespace {

constexpr const char kGreeting[] = "220 localhost Quillon SMTP proxy server ready";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsNoCase(const std::string& text, const char* prefix) {
    return SSMTPCommand::StartsNoCase(text, prefix);
}

// The states of the message text after the server's 354.
bool InText(ESMTPState state) {
    return state >= ESMTPState::kHeader && state <= ESMTPState::kBody;
}

}  // namespace

const SSetting CSMTPSession::cm_pSessionSettings[] = {
    {"AutoAddSender", offsetof(SSessionSettings, autoAddSender), ST_BOOLEAN, "FALSE", 0},
    {nullptr, 0, 0, nullptr, 0},
};

CSMTPSession::CSMTPSession(ISMTPSessionHost& host, CLogger& log)
    : m_host(host),
      m_log(log),
      m_settingsTable("SMTPProxy", cm_pSessionSettings),
      m_login(host, log),
      m_capabilities(log) {
    m_settingsTable.ReloadSettings(nullptr, &m_settings);
}

CSMTPSession::~CSMTPSession() {
    DropMessage();
    CRefCount::DoRelease(m_collection);
}

void CSMTPSession::Start() { SendClient(kGreeting); }

void CSMTPSession::SetState(ESMTPState state) {
    if (state == m_state)
        return;
    m_log.LogFormat(LOG_INFO, "State change %d->%d", static_cast<int>(m_state),
                    static_cast<int>(state));
    m_state = state;
}

unsigned CSMTPSession::LogCategory(int direction) const {
    const bool text = InText(m_state);
    switch (direction) {
        case DIR_FROM_CLIENT:
            return text || m_state == ESMTPState::kData ? LOG_DATA_FROM_CLIENT : LOG_FROM_CLIENT;
        case DIR_TO_SERVER:
            return text ? LOG_DATA_TO_SERVER : LOG_TO_SERVER;
        case DIR_FROM_SERVER:
            return LOG_FROM_SERVER;
        default:
            return LOG_TO_CLIENT;
    }
}

// ---------------------------------------------------------------------------------------
// Client lines.

void CSMTPSession::OnClientLine(const std::string& line) {
    // A SASL response is no command: it answers a challenge.
    if (m_login.TakesClientLine()) {
        AfterLogin(m_login.OnClientLine(line));
        return;
    }
    if (m_textRefused && line == ".") {
        // The end of a message the server refused while its text came: nothing is learned.
        m_host.SendServer(line);
        m_textRefused = false;
        DropMessage();
        SetState(ESMTPState::kIdle);
        return;
    }
    if (line == "." && InText(m_state))
        m_textEnded = true;  // the next reply answers the whole message
    switch (m_state) {
        case ESMTPState::kHeader:
        case ESMTPState::kSubject:
        case ESMTPState::kOwnHeader:
            HeaderLine(line);
            break;
        case ESMTPState::kBody:
            m_host.SendServer(line);
            break;
        case ESMTPState::kData:
            HoldEarlyText(line);
            break;
        default:
            CommandLine(line);
            break;
    }
}

void CSMTPSession::HeaderLine(const std::string& line) {
    if (line.empty()) {
        SetState(ESMTPState::kBody);
        m_host.SendServer(line);
        return;
    }
    if (m_message == nullptr) {
        m_host.SendServer(line);
        return;
    }
    if (IsBlank(line[0])) {
        if (m_state == ESMTPState::kOwnHeader) {
            m_log.LogFormat(LOG_INFO, "Quillon header: '%s'", line.c_str());
            return;
        }
        if (m_state == ESMTPState::kSubject) {
            m_log.LogFormat(LOG_INFO, "Message subject: '%s'", line.c_str());
            m_message->AddToSubject(line);
        }
        m_host.SendServer(line);
        return;
    }
    if (StartsNoCase(line, "Subject:")) {
        m_log.LogFormat(LOG_INFO, "Message subject: '%s'", line.c_str());
        m_message->AddToSubject(line);
        m_host.SendServer(line);
        SetState(ESMTPState::kSubject);
    } else if (StartsNoCase(line, "X-Quillon-")) {
        m_log.LogFormat(LOG_INFO, "Quillon header: '%s'", line.c_str());
        SetState(ESMTPState::kOwnHeader);
    } else {
        m_host.SendServer(line);
        SetState(ESMTPState::kHeader);
    }
}

void CSMTPSession::CommandLine(const std::string& line) {
    const SSMTPCommand command = SSMTPCommand::Parse(line);
    switch (m_state) {
        case ESMTPState::kWaitConnect:
            AfterLogin(m_login.OnCommand(command));
            return;
        case ESMTPState::kConnecting:
            m_login.BadSequence();
            return;
        default:
            break;
    }
    // STARTTLS or BDAT though never offered: relayed, they would take the message text
    // past the session, so the proxy refuses them itself.
    const std::string refusal = CSMTPCapabilities::RefusalOf(line);
    if (!refusal.empty()) {
        SendClient(refusal);
        return;
    }
    switch (m_state) {
        case ESMTPState::kIdle:
            IdleCommand(command);
            break;
        case ESMTPState::kCommand:
            Relay(command);
            break;
        case ESMTPState::kMail:
        case ESMTPState::kRcpt:
            if (command.code == ESMTPCommand::kRcpt)
                SetState(ESMTPState::kRcpt);
            else if (command.code == ESMTPCommand::kRset)
                SetState(ESMTPState::kCommand);
            else if (command.code == ESMTPCommand::kData && m_state == ESMTPState::kRcpt)
                SetState(ESMTPState::kData);
            m_lastCode = command.code;
            m_lastArgument = command.argument;
            Relay(command);
            break;
        default:
            break;
    }
}

void CSMTPSession::IdleCommand(const SSMTPCommand& command) {
    if (m_login.IsNamedHost() && command.code == ESMTPCommand::kAuth) {
        AfterLogin(m_login.OnLaterAuth(command));
        return;
    }
    m_lastCode = command.code;
    m_lastArgument = command.argument;
    SSMTPCommand relayed = command;
    if (command.code == ESMTPCommand::kMail) {
        DropMessage();
        m_message = new CSMTPMessage;
        m_message->AddRef();
        SetState(ESMTPState::kMail);
        relayed.line = m_login.MailForServer(command.line);
    } else {
        SetState(ESMTPState::kCommand);
    }
    Relay(relayed);
}

void CSMTPSession::Relay(const SSMTPCommand& command) {
    if (command.code == ESMTPCommand::kEhlo)
        m_capabilities.StartFiltering();
    m_host.SendServer(command.line);
}

void CSMTPSession::AfterLogin(CSMTPLogin::EStep step) {
    switch (step) {
        case CSMTPLogin::EStep::kNone:
            break;
        case CSMTPLogin::EStep::kConnecting:
            SetState(ESMTPState::kConnecting);
            break;
        case CSMTPLogin::EStep::kReachNamed:
            SetState(ESMTPState::kConnecting);
            AfterLogin(m_login.ReachNamed());
            break;
        case CSMTPLogin::EStep::kConnected:
            SetState(ESMTPState::kIdle);
            break;
        case CSMTPLogin::EStep::kLogIn:
            m_lastCode = ESMTPCommand::kAuth;
            m_lastArgument.clear();
            SetState(ESMTPState::kCommand);
            m_login.SendAuth();
            break;
        case CSMTPLogin::EStep::kSendMail:
            SetState(ESMTPState::kIdle);
            CommandLine(m_login.TakeHeldMail());
            break;
        case CSMTPLogin::EStep::kFailed:
            SetState(ESMTPState::kWaitConnect);
            break;
    }
}

void CSMTPSession::HoldEarlyText(const std::string& line) {
    m_earlySize += line.size() + 2;
    if (m_earlySize > kMaxEarlyText) {
        m_log.LogFormat(LOG_INFO,
                        "Client sent more than %zu bytes before the server's go-ahead; "
                        "session ended",
                        kMaxEarlyText);
        m_earlyText.clear();
        m_host.EndSession();
        return;
    }
    m_earlyText.push_back(line);
}

void CSMTPSession::ReplayEarlyText() {
    std::deque<std::string> lines;
    lines.swap(m_earlyText);
    m_earlySize = 0;
    for (const std::string& line : lines) OnClientLine(line);
}

// ---------------------------------------------------------------------------------------
// Server lines.

void CSMTPSession::OnServerLine(const std::string& line) {
    CSMTPLogin::EStep step;
    if (m_login.OnServerLine(line, step)) {
        AfterLogin(step);
        return;
    }
    if (m_capabilities.IsFiltering()) {
        OnCapabilityLine(line);
        return;
    }
    SendClient(line);
    OnReply(line);
}

// A line of the reply to a relayed EHLO: the client gets the reply without the
// withheld extensions once its last line is in.
void CSMTPSession::OnCapabilityLine(const std::string& line) {
    std::vector<std::string> reply;
    if (!m_capabilities.FilterLine(line, reply))
        return;
    for (const std::string& kept : reply) SendClient(kept);
    OnReply(line);
}

void CSMTPSession::OnReply(const std::string& line) {
    if (line.size() < 3)
        return;
    const bool inText = InText(m_state);
    if (inText && m_textEnded) {
        m_textEnded = false;
    } else if (inText && (m_textRefused || line[0] == '4' || line[0] == '5')) {
        // The client's lines stay message text (own headers still removed) up to its ".".
        m_textRefused = true;
        return;
    }
    switch (line[0]) {
        case '2':
            if (m_state == ESMTPState::kCommand) {
                SetState(ESMTPState::kIdle);
            } else if (m_state == ESMTPState::kMail || m_state == ESMTPState::kRcpt) {
                RecordEnvelope();
            } else if (m_state == ESMTPState::kHeader || m_state == ESMTPState::kSubject ||
                       m_state == ESMTPState::kBody) {
                if (m_message != nullptr)
                    FinishMessage();
                SetState(ESMTPState::kIdle);
            }
            break;
        case '3':
            if (m_state == ESMTPState::kData) {
                SetState(ESMTPState::kHeader);
                ReplayEarlyText();
            }
            break;
        case '4':
        case '5':
            // A refused addressee leaves the message open for the others.
            if (m_state == ESMTPState::kRcpt && m_lastCode == ESMTPCommand::kRcpt)
                break;
            DropMessage();
            m_earlyText.clear();
            m_earlySize = 0;
            SetState(ESMTPState::kIdle);
            break;
        default:
            break;
    }
}

void CSMTPSession::RecordEnvelope() {
    if (m_message == nullptr)
        return;
    const std::string argument = SSMTPCommand::Trim(m_lastArgument);
    if (m_state == ESMTPState::kMail && StartsNoCase(argument, "FROM:")) {
        const std::string sender = SSMTPCommand::EnvelopePath(argument.substr(5));
        m_log.LogFormat(LOG_INFO, "Message sender: '%s'", sender.c_str());
        m_message->SetSender(sender);
    } else if (m_state == ESMTPState::kRcpt && StartsNoCase(argument, "TO:")) {
        const std::string addressee = SSMTPCommand::EnvelopePath(argument.substr(3));
        m_log.LogFormat(LOG_INFO, "Message addressee: '%s'", addressee.c_str());
        m_message->AddAddressee(addressee);
    }
}

void CSMTPSession::DropMessage() {
    CRefCount::DoRelease(m_message);
    m_message = nullptr;
}

void CSMTPSession::FinishMessage() {
    m_log.LogFormat(LOG_INFO, "Message finished");
    if (!m_message->GetSender().empty() && AutoAddSender())
        AddSenderAsSelf(m_message->GetSender());
    size_t position = 0;
    std::string address;
    while (m_message->GetNextAddressee(position, address)) {
        if (CFriend::IsAddressFriend(address.c_str()) != nullptr)
            continue;
        m_log.LogFormat(LOG_INFO, "Sent mail to non-friend '%s'", address.c_str());
        if (m_collection == nullptr) {
            m_collection = new CNonFriendCollection;
            m_collection->AddRef();
        }
        m_collection->Add(address, m_message);
    }
    DropMessage();
}

// The envelope sender becomes one of the user's own addresses (source AS_ME), unless it
// is one already.
void CSMTPSession::AddSenderAsSelf(const std::string& sender) {
    CLock lock(&CFriend::GetLock());
    CFriend* entry = CFriend::FindByAddress(sender.c_str());
    if (entry != nullptr && !entry->IsDeleted() && entry->GetSourceQuality() == AS_ME)
        return;
    CImportSource* source = new CImportSource(AS_ME, 0, "Sent mail from");
    m_log.LogFormat(LOG_INFO, "Add '%s' as self", sender.c_str());
    if (entry == nullptr) {
        if (CFriend::AddFriend(sender.c_str(), source, nullptr, FRN_MAIL) == nullptr)
            delete source;
        return;
    }
    // A deleted entry would stay a tombstone with its new source: it is live again.
    if (!entry->IsAccepted() || entry->IsDeleted())
        entry->SetState(ES_ACCEPTED);
    if (!entry->AddSource(source, 0))
        delete source;
}

void CSMTPSession::OnServerConnect(int errorCode) {
    if (m_login.IsReaching() || m_state == ESMTPState::kConnecting)
        AfterLogin(m_login.OnConnect(errorCode));
}

void CSMTPSession::OnServerSecured(const std::string& error) {
    AfterLogin(m_login.OnSecured(error));
}

void CSMTPSession::OnServerClose() { m_login.OnServerClose(); }

void CSMTPSession::OnClock() { AfterLogin(m_login.OnClock()); }

void CSMTPSession::OnSessionEnd(int errorCode) {
    if (m_ended)
        return;
    m_ended = true;
    DropMessage();
    m_host.NotifyNumber(MN_END_CONNECTION, errorCode);
    if (m_collection != nullptr) {
        m_host.NotifyObject(MN_SMTP_SCRAPED, m_collection);
        CRefCount::DoRelease(m_collection);
        m_collection = nullptr;
    }
}
