#include "proxy/SMTPSession.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/Logger.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/friends/ImportSource.h"
#include "kinbook/foundation/Sync.h"
#include "kinbook/foundation/TextHelpers.h"
#include "proxy/ProxyConnection.h"

namespace {

constexpr const char kGreeting[] = "220 localhost Quillon SMTP proxy server ready";

// The proxy's own EHLO reply in named-host mode. PIPELINING is left out: the session
// follows one command's reply at a time.
const char* const kCapabilities[] = {
    "250-localhost", "250-AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER", "250-8BITMIME", "250-SIZE",
    "250 ENHANCEDSTATUSCODES",
};

// Extensions of a server's EHLO reply that the client is never offered: TLS and BDAT
// would take the conversation past the session, and pipelined commands past its one
// remembered command.
const char* const kWithheld[] = {"STARTTLS", "CHUNKING", "BINARYMIME", "PIPELINING"};

struct SCommandName {
    const char* name;
    ESMTPCommand code;
};

const SCommandName kCommands[] = {
    {"CONNECT", ESMTPCommand::kConnect}, {"MAIL", ESMTPCommand::kMail},
    {"RCPT", ESMTPCommand::kRcpt},       {"RSET", ESMTPCommand::kRset},
    {"DATA", ESMTPCommand::kData},       {"QUIT", ESMTPCommand::kQuit},
    {"EHLO", ESMTPCommand::kEhlo},       {"HELO", ESMTPCommand::kHelo},
    {"AUTH", ESMTPCommand::kAuth},       {"NOOP", ESMTPCommand::kNoop},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool StartsNoCase(const std::string& text, const char* prefix) {
    return StartsWithNoCase(text.c_str(), text.size(), prefix);
}

// The path of a MAIL "FROM:" or RCPT "TO:" argument after its prefix (RFC 5321 4.1.2):
// "<a@b>" up to its closing bracket, or a bare address up to the first blank; the
// parameters after it (SIZE=, BODY=, NOTIFY=) are no part of the address.
std::string EnvelopePath(const std::string& rest) {
    const std::string text = Trim(rest);
    if (!text.empty() && text[0] == '<') {
        const size_t close = text.find('>');
        return close == std::string::npos ? text : text.substr(0, close + 1);
    }
    return text.substr(0, text.find_first_of(" \t"));
}

bool IsWithheld(const std::string& keywordLine) {
    const std::string word = keywordLine.substr(0, keywordLine.find_first_of(" \t="));
    for (const char* withheld : kWithheld)
        if (CompareNoCase(word.c_str(), withheld) == 0)
            return true;
    return false;
}

bool IsFinalLine(const std::string& line) { return line.size() <= 3 || line[3] != '-'; }

bool Offers(const std::vector<std::string>& keywords, const char* extension) {
    for (const std::string& keyword : keywords)
        if (CompareNoCase(keyword.substr(0, keyword.find(' ')).c_str(), extension) == 0)
            return true;
    return false;
}

// The MAIL line without the parameters of the proxy's own EHLO reply that the server did
// not offer (RFC 1870 SIZE=, RFC 6152 BODY=): a server would refuse the whole command.
std::string WithoutUnofferedParameters(const std::string& line,
                                       const std::vector<std::string>& keywords) {
    std::string kept;
    size_t at = 0;
    while (at < line.size()) {
        const size_t begin = line.find_first_not_of(" \t", at);
        if (begin == std::string::npos)
            break;
        const size_t end = std::min(line.find_first_of(" \t", begin), line.size());
        const std::string word = line.substr(begin, end - begin);
        const bool dropped = (StartsNoCase(word, "SIZE=") && !Offers(keywords, "SIZE")) ||
                             (StartsNoCase(word, "BODY=") && !Offers(keywords, "8BITMIME"));
        if (!dropped)
            kept += (kept.empty() ? "" : " ") + word;
        at = end;
    }
    return kept;
}

}  // namespace

const SSetting CSMTPSession::cm_pSessionSettings[] = {
    {"AutoAddSender", offsetof(SSessionSettings, autoAddSender), ST_BOOLEAN, "FALSE", 0},
    {nullptr, 0, 0, nullptr, 0},
};

SSMTPCommand SSMTPCommand::Parse(const std::string& line) {
    SSMTPCommand command;
    command.line = Trim(line);
    const size_t blank = command.line.find_first_of(" \t");
    const std::string word = command.line.substr(0, blank);
    if (blank != std::string::npos)
        command.argument = Trim(command.line.substr(blank));
    for (const SCommandName& known : kCommands)
        if (CompareNoCase(word.c_str(), known.name) == 0)
            command.code = known.code;
    return command;
}

CSMTPSession::CSMTPSession(ISMTPSessionHost& host, CLogger& log)
    : m_host(host),
      m_log(log),
      m_settingsTable("SMTPProxy", cm_pSessionSettings),
      m_upstream(host, log),
      m_sasl(CSASLRelay::EProtocol::kSMTP) {
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

void CSMTPSession::BadSequence() {
    SendClient(m_extended ? "503 5.5.1 Bad sequence of commands" : "503 Bad sequence of commands");
}

unsigned CSMTPSession::LogCategory(int direction) const {
    const bool text = m_state >= ESMTPState::kHeader && m_state <= ESMTPState::kBody;
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
    if (m_sasl.AwaitsFirstResponse()) {
        AfterFirstResponse(m_sasl.OnClientResponse(line));
        return;
    }
    if (m_sasl.IsExchanging()) {
        m_host.SendServer(line);
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
    if (line == "." && (m_state == ESMTPState::kHeader || m_state == ESMTPState::kSubject ||
                        m_state == ESMTPState::kOwnHeader || m_state == ESMTPState::kBody))
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

// STARTTLS or BDAT though never offered: relayed, they would take the message text past
// the session, so the proxy refuses them itself.
bool CSMTPSession::RefusedUnoffered(const std::string& line) {
    const std::string word = line.substr(0, line.find_first_of(" \t"));
    for (const char* unoffered : {"STARTTLS", "BDAT"}) {
        if (CompareNoCase(word.c_str(), unoffered) == 0) {
            SendClient(std::string("502 5.5.1 ") + unoffered +
                       " is not offered: the proxy must see the message text");
            return true;
        }
    }
    return false;
}

void CSMTPSession::CommandLine(const std::string& line) {
    const SSMTPCommand command = SSMTPCommand::Parse(line);
    if (m_state != ESMTPState::kWaitConnect && m_state != ESMTPState::kConnecting &&
        RefusedUnoffered(line))
        return;
    switch (m_state) {
        case ESMTPState::kWaitConnect:
            WaitConnect(command);
            break;
        case ESMTPState::kConnecting:
            BadSequence();
            break;
        case ESMTPState::kIdle:
            if (m_namedHost && command.code == ESMTPCommand::kAuth) {
                // A new try after a refusal: rewritten as the first one was.
                AfterFirstResponse(m_sasl.OnAuth(command.argument));
                break;
            }
            m_lastCode = command.code;
            m_lastArgument = command.argument;
            if (command.code == ESMTPCommand::kMail) {
                DropMessage();
                m_message = new CSMTPMessage;
                m_message->AddRef();
                SetState(ESMTPState::kMail);
                if (m_namedHost) {
                    SSMTPCommand mail = command;
                    mail.line = WithoutUnofferedParameters(command.line, m_upstream.Keywords());
                    Relay(mail);
                    break;
                }
            } else {
                SetState(ESMTPState::kCommand);
            }
            Relay(command);
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

void CSMTPSession::Relay(const SSMTPCommand& command) {
    if (command.code == ESMTPCommand::kEhlo) {
        m_filteringEhlo = true;
        m_capabilityLines.clear();
    }
    m_host.SendServer(command.line);
}

void CSMTPSession::WaitConnect(const SSMTPCommand& command) {
    switch (command.code) {
        case ESMTPCommand::kConnect: {
            const int result = m_host.ConnectRelayed(command.argument);
            if (result == CTS_PENDING) {
                SetState(ESMTPState::kConnecting);
            } else if (result == CTS_CONNECTED) {
                SendClient("0");
                m_log.LogFormat(LOG_INFO, "Connection completed");
                SetState(ESMTPState::kIdle);
            }
            break;
        }
        case ESMTPCommand::kEhlo:
        case ESMTPCommand::kHelo:
            Greet(command);
            break;
        case ESMTPCommand::kAuth:
            StartAuth(command);
            break;
        case ESMTPCommand::kMail:
            StartMailWithoutAuth(command);
            break;
        case ESMTPCommand::kNoop:
        case ESMTPCommand::kRset:
            SendClient(m_extended ? "250 2.0.0 OK" : "250 OK");
            break;
        case ESMTPCommand::kQuit:
            SendClient(m_extended ? "221 2.0.0 localhost closing connection"
                                  : "221 localhost closing connection");
            m_host.EndSession();
            break;
        default:
            BadSequence();
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
    if (m_upstream.IsActive()) {
        AfterUpstream(m_upstream.OnServerLine(line));
        return;
    }
    if (m_sasl.IsExchanging() && OnAuthExchangeLine(line))
        return;
    if (m_filteringEhlo && FilterCapabilities(line))
        return;
    SendClient(line);
    OnReply(line);
}

void CSMTPSession::OnReply(const std::string& line) {
    if (line.size() < 3)
        return;
    const bool inText = m_state == ESMTPState::kHeader || m_state == ESMTPState::kSubject ||
                        m_state == ESMTPState::kOwnHeader || m_state == ESMTPState::kBody;
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
    const std::string argument = Trim(m_lastArgument);
    if (m_state == ESMTPState::kMail && StartsNoCase(argument, "FROM:")) {
        const std::string sender = EnvelopePath(argument.substr(5));
        m_log.LogFormat(LOG_INFO, "Message sender: '%s'", sender.c_str());
        m_message->SetSender(sender);
    } else if (m_state == ESMTPState::kRcpt && StartsNoCase(argument, "TO:")) {
        const std::string addressee = EnvelopePath(argument.substr(3));
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
    if (m_upstream.IsActive()) {
        AfterUpstream(m_upstream.OnConnect(errorCode));
        return;
    }
    if (m_state != ESMTPState::kConnecting)
        return;
    if (errorCode == 0) {
        SendClient("0");
        m_log.LogFormat(LOG_INFO, "Connection completed");
        SetState(ESMTPState::kIdle);
    } else {
        SendClient(std::to_string(errorCode));
        SetState(ESMTPState::kWaitConnect);
    }
}

void CSMTPSession::OnServerSecured(const std::string& error) {
    if (m_upstream.IsActive())
        AfterUpstream(m_upstream.OnSecured(error));
}

void CSMTPSession::OnServerClose() {
    if (m_upstream.IsActive() && m_upstream.OnServerClose() == CSMTPUpstream::EStep::kFailed)
        SendClient(m_upstream.Failure());
}

void CSMTPSession::OnClock() {
    if (m_upstream.IsActive())
        AfterUpstream(m_upstream.OnClock());
}

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

// ---------------------------------------------------------------------------------------
// Named-host mode: the proxy answers EHLO itself and reaches the server that the AUTH
// user name or the envelope sender's account names.

void CSMTPSession::Greet(const SSMTPCommand& command) {
    m_clientGreeted = true;
    m_extended = command.code == ESMTPCommand::kEhlo;
    m_clientName = command.argument.substr(0, command.argument.find_first_of(" \t"));
    if (!m_extended) {
        SendClient("250 localhost");
        return;
    }
    for (const char* line : kCapabilities) SendClient(line);
}

void CSMTPSession::StartAuth(const SSMTPCommand& command) {
    if (!m_extended) {
        BadSequence();
        return;
    }
    AfterFirstResponse(m_sasl.OnAuth(command.argument));
}

void CSMTPSession::AfterFirstResponse(const std::string& reply) {
    if (!reply.empty()) {
        SendClient(reply);
        return;
    }
    std::string user, host;
    int port = 0;
    m_sasl.SplitLoginName(user, host, port, kSMTPDefaultPort);
    if (host.empty() || port <= 0 || port > 65535) {
        m_sasl.Reset();
        SendClient("501 5.5.4 The user name user/host[:port] names no valid server");
        return;
    }
    if (m_namedHost && m_state == ESMTPState::kIdle) {
        // Connected already: only the same server can be logged in to.
        if (port != m_upstream.Port() ||
            CompareNoCase(host.c_str(), m_upstream.Host().c_str()) != 0) {
            m_sasl.Reset();
            SendClient("504 5.5.4 Connected to " + m_upstream.Host() + ":" +
                       std::to_string(m_upstream.Port()) + "; log in there or reconnect");
            return;
        }
        SendAuthToServer();
        return;
    }
    m_pending = EPending::kAuth;
    m_namedHost = true;
    SetState(ESMTPState::kConnecting);
    AfterUpstream(m_upstream.Start(host, port, user, m_clientName));
}

void CSMTPSession::StartMailWithoutAuth(const SSMTPCommand& command) {
    if (!m_clientGreeted) {
        BadSequence();
        return;
    }
    if (!StartsNoCase(command.argument, "FROM:")) {
        SendClient("501 5.5.4 Syntax: MAIL FROM:<address>");
        return;
    }
    std::string sender = EnvelopePath(command.argument.substr(5));
    CSMTPMessage::CleanAddress(sender);
    CAccountData* account = FindAccountForSMTPSender(sender);
    if (account == nullptr) {
        m_log.LogFormat(LOG_INFO, "No account with an SMTP server sends from '%s'",
                        sender.c_str());
        SendClient("530 5.7.0 No account to send from <" + sender +
                   ">: log in as user/host[:port] or register the account's SMTP server");
        return;
    }
    const std::string host = account->GetSMTPServer();
    const int port = account->GetSMTPServerPort();
    const std::string user = account->m_userName;
    CRefCount::DoRelease(account);
    m_heldMail = command.line;
    m_pending = EPending::kMail;
    m_namedHost = true;
    SetState(ESMTPState::kConnecting);
    AfterUpstream(m_upstream.Start(host, port, user, m_clientName));
}

void CSMTPSession::AfterUpstream(CSMTPUpstream::EStep step) {
    if (step == CSMTPUpstream::EStep::kWait)
        return;
    const EPending pending = m_pending;
    m_pending = EPending::kNone;
    if (step == CSMTPUpstream::EStep::kFailed) {
        SendClient(m_upstream.Failure());
        m_host.CloseServer();
        m_sasl.Reset();
        m_heldMail.clear();
        m_namedHost = false;
        SetState(ESMTPState::kWaitConnect);
        return;
    }
    m_log.LogFormat(LOG_INFO, "Connection completed");
    if (pending == EPending::kAuth) {
        SendAuthToServer();
        return;
    }
    SetState(ESMTPState::kIdle);
    std::string mail;
    mail.swap(m_heldMail);
    CommandLine(mail);
}

void CSMTPSession::SendAuthToServer() {
    m_lastCode = ESMTPCommand::kAuth;
    m_lastArgument.clear();
    SetState(ESMTPState::kCommand);
    m_sasl.SetExchanging(true);
    m_host.SendServer(m_sasl.ServerCommand(m_upstream.Host(), m_upstream.Port()));
}

// A server line while the AUTH exchange runs: a challenge goes to the client (or is
// answered with the held first response); any other line ends the exchange and is
// relayed as the reply to the client's AUTH. True when the line was taken here.
bool CSMTPSession::OnAuthExchangeLine(const std::string& line) {
    std::string answer;
    switch (m_sasl.OnServerLine(line, answer)) {
        case CSASLRelay::EServerLine::kEnded:
            return false;
        case CSASLRelay::EServerLine::kAnswer:
            m_host.SendServer(answer);
            return true;
        case CSASLRelay::EServerLine::kForClient:
            SendClient(line);
            return true;
    }
    return false;
}

// A relayed EHLO reply reaches the client without the withheld extensions; its last
// kept line ends it. True: the line was taken.
bool CSMTPSession::FilterCapabilities(const std::string& line) {
    if (line.size() > 4 && line[0] == '2' && IsWithheld(line.substr(4)))
        m_log.LogFormat(LOG_INFO, "Not offered to the client: '%s'", line.c_str() + 4);
    else
        m_capabilityLines.push_back(line);
    if (!IsFinalLine(line))
        return true;
    m_filteringEhlo = false;
    if (!m_capabilityLines.empty() && m_capabilityLines.back().size() > 3)
        m_capabilityLines.back()[3] = ' ';
    for (const std::string& kept : m_capabilityLines) SendClient(kept);
    m_capabilityLines.clear();
    OnReply(line);
    return true;
}
