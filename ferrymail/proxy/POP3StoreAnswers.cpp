#include "proxy/POP3StoreAnswers.h"

#include <charconv>
#include <cstdlib>

#include "ferrymail/MessageStore.h"

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

std::string CPOP3StoreAnswers::Stat(CMessageStore* store) {
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

std::string CPOP3StoreAnswers::List(CMessageStore* store, const SPOP3Command& command, bool uidl) {
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

std::string CPOP3StoreAnswers::Notes(CMessageStore* store, SClientNumber number) {
    CMessage* message =
        store != nullptr && number.IsSet() ? store->GetClientMessage(number.value) : nullptr;
    return message != nullptr ? message->GetQLNotes() : std::string();
}
