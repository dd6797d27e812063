#include "proxy/POP3StoreAnswers.h"

#include <charconv>
#include <cstdlib>

#include "ferrymail/proxy/Logger.h"
#include "ferrymail/store/MessageStore.h"
#include "proxy/POP3Account.h"
#include "proxy/POP3Capabilities.h"
#include "proxy/POP3Statistics.h"
#include "proxy/POP3Synchronizer.h"
#include "proxy/ProxyConnection.h"

namespace {

void AppendNumber(std::string& text, int number) {
    char digits[16];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

CMessage* VisibleMessage(CMessageStore* store, SClientNumber number) {
    CMessage* message = number.IsSet() ? store->GetClientMessage(number.value) : nullptr;
    return message != nullptr && !message->IsDeleted() ? message : nullptr;
}

}  // namespace

std::string CPOP3StoreAnswers::StatText(CMessageStore* store) {
    int count = 0, size = 0;
    if (store == nullptr || !store->GetClientViewStat(&count, &size))
        return "-ERR Can't get STATs\r\n";
    store->SetStatAnswered(1);
    std::string reply = "+OK ";
    AppendNumber(reply, count);
    reply += ' ';
    AppendNumber(reply, size);
    return reply + "\r\n";
}

std::string CPOP3StoreAnswers::ListText(CMessageStore* store, const SPOP3Command& command,
                                        bool uidl) {
    if (!command.argument.empty()) {
        CMessage* message = VisibleMessage(store, command.clientNumber);
        if (message == nullptr)
            return "-ERR Invalid message number\r\n";
        std::string reply = "+OK ";
        AppendNumber(reply, command.clientNumber.value);
        reply += ' ';
        if (uidl)
            reply += message->GetUIDL();
        else
            AppendNumber(reply, message->GetSize());
        return reply + "\r\n";
    }
    std::string reply = uidl ? "+OK UIDL listing follows\r\n" : "+OK Maildrop listing follows\r\n";
    CStoreLock lock(store, false);  // one listing of one view
    for (int n = 1;; ++n) {
        CMessage* message = store->GetClientMessage(n);
        if (message == nullptr)
            break;
        if (message->IsDeleted())
            continue;
        AppendNumber(reply, n);
        reply += ' ';
        if (uidl)
            reply += message->GetUIDL();
        else
            AppendNumber(reply, message->GetSize());
        reply += "\r\n";
    }
    return reply + ".\r\n";
}

CMessage* CPOP3StoreAnswers::LocalMessage(CMessageStore* store, const SPOP3Command& command) {
    CMessage* message = VisibleMessage(store, command.clientNumber);
    return message != nullptr && message->HasHeader() ? message : nullptr;
}

int CPOP3StoreAnswers::LocalLines(CMessage* message, const SPOP3Command& command) {
    const int bodyLines = message->GetBodyLines();
    if (command.Is(EPOP3Command::kRetr))
        return bodyLines == -1 ? -1 : -2;
    // TOP n k: k one decimal number, within what the store kept.
    const char* start = command.rest.c_str();
    char* end = nullptr;
    const long lines = std::strtol(start, &end, 10);
    const bool oneNumber = !command.rest.empty() && end != start && SPOP3Command::Trim(end).empty();
    if (!oneNumber || lines < 0 || (bodyLines != -1 && lines > bodyLines))
        return -2;
    return static_cast<int>(lines);
}

std::string CPOP3StoreAnswers::MessageText(CMessage* message, int lines) {
    std::string reply = message->GetHeader() + message->GetQLNotes();
    if (lines < 0) {
        reply += "\r\n" + message->GetBody();
    } else if (lines > 0) {
        reply += "\r\n";
        const std::string body = message->GetBody();
        size_t at = 0;
        for (int i = 0; i < lines && at < body.size(); ++i) {
            size_t end = body.find("\r\n", at);
            end = end == std::string::npos ? body.size() : end + 2;
            reply.append(body, at, end - at);
            at = end;
        }
    }
    if (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0)
        reply += "\r\n";
    return reply + ".\r\n";
}

CPOP3StoreAnswers::CPOP3StoreAnswers(IPOP3SessionHost& host, CLogger& log,
                                     CPOP3Synchronizer& sync, CPOP3Statistics& statistics,
                                     CPOP3Account& account, bool deliverLocal)
    : m_host(host),
      m_log(log),
      m_sync(sync),
      m_statistics(statistics),
      m_account(account),
      m_deliverLocal(deliverLocal) {}

bool CPOP3StoreAnswers::Answer(SPOP3Command& command, const CPOP3Capabilities& capabilities) {
    switch (command.code) {
        case EPOP3Command::kCapa:
            command.Reset();
            Send(capabilities.Reply());
            return true;
        case EPOP3Command::kDele:
        case EPOP3Command::kRset:
            m_sync.ForgetServerCount();
            return false;
        case EPOP3Command::kNoop:
        case EPOP3Command::kStat:
            return false;
        case EPOP3Command::kList:
        case EPOP3Command::kUidl:
            List(command);
            command.Reset();
            return true;
        case EPOP3Command::kRetr:
        case EPOP3Command::kTop:
            if (!Retrieve(command))
                return false;
            command.Reset();
            return true;
        default:
            command.Reset();
            Send("-ERR Unsupported command in TRANSACTION state\r\n");
            return true;
    }
}

void CPOP3StoreAnswers::TranslateNumber(SPOP3Command& command, bool filtering) const {
    if (!SPOP3Command::TakesNumber(command.code) || command.argument.empty())
        return;
    CMessageStore* store = m_sync.Store();
    if (!filtering) {
        if (!command.hasNumber)
            return;  // relayed as the client sent it
        command.serverNumber.value = command.number;
    } else if (command.hasNumber && command.number > 0 && store != nullptr &&
               store->GetClientMessage(command.number) != nullptr) {
        command.clientNumber.value = command.number;
        command.serverNumber.value = store->GetServerNumber(command.number);
    }
    // The word as the client wrote it, the server's number and the rest.
    const std::string word =
        command.text.substr(0, command.text.size() - command.argument.size() - 1);
    command.text = word + " " + std::to_string(command.serverNumber.value) +
                   (command.rest.empty() ? "" : " " + command.rest);
}

void CPOP3StoreAnswers::Stat(bool alreadySynchronized) {
    if (alreadySynchronized && m_sync.Store() != nullptr)
        m_account.PostAboutAccount(20116);
    Send(StatText(m_sync.Store()));
}

void CPOP3StoreAnswers::List(const SPOP3Command& command) {
    Send(ListText(m_sync.Store(), command, command.Is(EPOP3Command::kUidl)));
}

bool CPOP3StoreAnswers::Retrieve(SPOP3Command& command) {
    CMessageStore* store = m_sync.Store();
    CMessage* message = m_deliverLocal ? LocalMessage(store, command) : nullptr;
    const int lines = message != nullptr ? LocalLines(message, command) : -2;
    const bool retrieve = command.Is(EPOP3Command::kRetr);
    if (retrieve) {
        ++m_statistics.m_retrieved;
        m_statistics.StartRetrieve(m_host.ServerBytes());
    }
    if (lines == -2)
        return false;
    if (retrieve)
        m_log.LogFormat(LOG_INFO, "Local retrieval of message: %d", command.clientNumber.value);
    // The first line is the reply; the message after it is data, as when relayed.
    Send("+OK\r\n");
    command.replyRelayed = true;
    Send(MessageText(message, lines));
    if (retrieve) {
        store->MarkDelivered(command.clientNumber.value);
        m_statistics.EndRetrieve(m_host.ServerBytes());
    }
    return true;
}

void CPOP3StoreAnswers::OnReplyOk(const SPOP3Command& command) {
    CMessageStore* store = m_sync.Store();
    if (store == nullptr)
        return;
    if (command.Is(EPOP3Command::kDele) && command.clientNumber.IsSet())
        store->MarkDeletedFromServer(command.clientNumber.value, 0);
    else if (command.Is(EPOP3Command::kRset))
        store->UndeleteAll();
}

void CPOP3StoreAnswers::OnRetrieved(const SPOP3Command& command) {
    if (!command.Is(EPOP3Command::kRetr) || m_sync.Store() == nullptr ||
        !command.clientNumber.IsSet())
        return;
    m_sync.Store()->MarkDelivered(command.clientNumber.value);
    m_statistics.EndRetrieve(m_host.ServerBytes());
}

std::string CPOP3StoreAnswers::Notes(const SPOP3Command& command) const {
    CMessageStore* store = m_sync.Store();
    CMessage* message = store != nullptr && command.clientNumber.IsSet()
                            ? store->GetClientMessage(command.clientNumber.value)
                            : nullptr;
    return message != nullptr ? message->GetQLNotes() : std::string();
}

void CPOP3StoreAnswers::RelayLine(SPOP3Command& command, const std::string& line,
                                  bool filtering) {
    const bool end = line == ".";
    if (command.insertNotes && !command.headerPassed && command.replyRelayed &&
        (line.empty() || end)) {
        command.headerPassed = true;
        const std::string notes = filtering ? Notes(command) : std::string();
        if (!notes.empty())
            Send(notes);
    }
    Send(line + "\r\n");
    command.replyRelayed = true;
    if (end && filtering)
        OnRetrieved(command);
}

size_t CPOP3StoreAnswers::RelayBlock(const SPOP3Command& command, const char* data,
                                     size_t size) {
    if (!command.replyStarted || !command.replyRelayed || !command.Retrieves() ||
        (command.insertNotes && !command.headerPassed))
        return 0;
    const size_t taken = SPOP3Command::BodyLength(data, size);
    if (taken > 0)
        m_host.SendClient(data, taken);
    return taken;
}

bool CPOP3StoreAnswers::RelayPiece(const SPOP3Command& command, bool plainRelay, const char* data,
                                   size_t size, bool first, bool last) {
    const bool relayed = command.Outstanding()
                             ? command.replyStarted && command.replyRelayed && command.multiLine &&
                                   !command.Is(EPOP3Command::kCapa)
                             : plainRelay;
    if (!relayed)
        return false;
    if (first)
        m_log.LogFormat(LOG_INFO, "Line from server longer than %zu bytes passed on to the client",
                        CProxyConnection::kMaxLineLength);
    m_host.SendClient(data, size);
    if (last)
        m_host.SendClient("\r\n", 2);
    return true;
}
