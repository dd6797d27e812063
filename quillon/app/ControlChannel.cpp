#include "app/ControlChannel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "app/InstanceLock.h"
#include "kinbook/foundation/LocalSocket.h"

namespace {

constexpr int kBacklog = 16;
constexpr int kStartingRetryMs = 100;
constexpr int kReplyTimeoutMs = 5000;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writes all of `text` before `deadline`; false when the peer does not take it.
bool SendAll(SOCKET socket, const std::string& text, long long deadline) {
    size_t sent = 0;
    while (sent < text.size()) {
        int error = 0;
        const int n =
            SockSend(socket, text.data() + sent, static_cast<int>(text.size() - sent), error);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && error != WSAEWOULDBLOCK)
            return false;
        SWaitEntry entry = {socket, kWaitWrite, 0};
        const long long left = deadline - NowMs();
        if (left <= 0 || SockWait(&entry, 1, static_cast<int>(left), error) <= 0)
            return false;
    }
    return true;
}

void AddLines(std::string& text, const char* kind, const std::string& lines) {
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        text += std::string(kind) + "\t" + line + "\n";
    }
    if (lines.empty())
        text += std::string(kind) + "\t\n";
}

}  // namespace

CControlChannel::~CControlChannel() {
    Stop();
}

void CControlChannel::Register(const std::string& name, Handler handler) {
    m_handlers[name] = std::move(handler);
}

bool CControlChannel::Start(const std::string& folder, std::string& error) {
    Stop();
    if (!m_stop.IsValid()) {
        error = "the control channel has no stop event";
        return false;
    }
    m_stop.Reset();
    const std::string path = folder + "/" + kFileName;
    int failure = 0;
    m_listener = LocalSockListen(path, kBacklog, failure);
    if (m_listener == INVALID_SOCKET) {
        error = "cannot listen at " + path + ": " + std::strerror(failure);
        return false;
    }
    m_path = path;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void CControlChannel::Stop() {
    if (m_thread.joinable()) {
        m_stop.Signal();
        m_thread.join();
    }
    if (m_listener != INVALID_SOCKET) {
        SockClose(m_listener);
        m_listener = INVALID_SOCKET;
        LocalSockRemove(m_path);
    }
    m_path.clear();
}

void CControlChannel::Serve() {
    std::vector<SClient> clients;
    for (;;) {
        std::vector<SWaitEntry> entries{{m_stop.GetHandle(), kWaitRead, 0}, {m_listener, kWaitRead, 0}};
        long long nearest = NowMs() + kRequestTimeoutMs;
        for (const SClient& client : clients) {
            entries.push_back({client.socket, kWaitRead, 0});
            nearest = std::min(nearest, client.deadline);
        }
        int error = 0;
        const int wait = static_cast<int>(std::max<long long>(0, nearest - NowMs()));
        if (SockWait(entries.data(), static_cast<int>(entries.size()), wait, error) < 0)
            break;
        if (entries[0].revents != 0)
            break;
        std::vector<SClient> open;
        for (size_t i = 0; i < clients.size(); ++i) {
            const bool ready = entries[i + 2].revents != 0;
            if ((ready && ReadFrom(clients[i])) || (!ready && NowMs() >= clients[i].deadline))
                SockClose(clients[i].socket);
            else
                open.push_back(clients[i]);
        }
        clients = std::move(open);
        if (entries[1].revents != 0) {
            for (SOCKET s; (s = LocalSockAccept(m_listener, error)) != INVALID_SOCKET;) {
                if (LocalSockPeerIsSameUser(s))
                    clients.push_back(SClient{s, {}, NowMs() + kRequestTimeoutMs});
                else
                    SockClose(s);
            }
        }
    }
    for (SClient& client : clients) SockClose(client.socket);
}

bool CControlChannel::ReadFrom(SClient& client) {
    char buffer[4096];
    int error = 0;
    const int n = SockRecv(client.socket, buffer, sizeof buffer, error);
    if (n < 0)
        return error != WSAEWOULDBLOCK;
    if (n == 0)
        return true;  // gone before its request ended
    client.request.append(buffer, static_cast<size_t>(n));
    const size_t end = client.request.find('\n');
    if (end != std::string::npos) {
        Answer(client, Dispatch(client.request.substr(0, end)));
        return true;
    }
    if (client.request.size() > kMaxRequest) {
        SControlReply refused;
        refused.errors.push_back("request longer than " + std::to_string(kMaxRequest) + " bytes");
        refused.status = kBadRequestStatus;
        Answer(client, refused);
        return true;
    }
    return false;
}

void CControlChannel::Answer(SClient& client, const SControlReply& reply) {
    SendAll(client.socket, FormatReply(reply), NowMs() + kReplyTimeoutMs);
}

SControlReply CControlChannel::Dispatch(const std::string& line) {
    SControlReply reply;
    Run(ParseRequest(line), reply);
    return reply;
}

int CControlChannel::Run(const std::vector<std::string>& words, SControlReply& reply) {
    const auto handler = words.empty() ? m_handlers.end() : m_handlers.find(words.front());
    if (handler == m_handlers.end()) {
        reply.errors.push_back(words.empty() ? "empty request"
                                             : "unknown command '" + words.front() + "'");
        return reply.status = kBadRequestStatus;
    }
    return reply.status = handler->second({words.begin() + 1, words.end()}, reply);
}

int CControlChannel::Route(const std::string& folder, const std::vector<std::string>& words,
                           const LocalRun& local, SControlReply& reply) {
    const long long until = NowMs() + kStartingWaitMs;
    for (;;) {
        CInstanceLock lock;
        std::string error;
        if (lock.Acquire(folder, error))
            return reply.status = local(reply);
        if (!lock.IsHeldElsewhere()) {
            reply.errors.push_back(error);
            return reply.status = 1;
        }
        bool refused = false;
        if (Send(folder, words, kReplyTimeoutMs, reply, error, &refused))
            return reply.status;
        if (!refused || NowMs() >= until) {
            reply.errors.push_back(error);
            return reply.status = 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kStartingRetryMs));
    }
}

std::string CControlChannel::FormatRequest(const std::vector<std::string>& words) {
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) line += (i > 0 ? "\t" : "") + words[i];
    return line + "\n";
}

std::vector<std::string> CControlChannel::ParseRequest(const std::string& line) {
    std::string text = line;
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    std::vector<std::string> words;
    if (text.empty())
        return words;
    size_t start = 0;
    for (size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1)
        words.push_back(text.substr(start, tab - start));
    words.push_back(text.substr(start));
    return words;
}

std::string CControlChannel::FormatReply(const SControlReply& reply) {
    std::string text;
    for (const std::string& line : reply.output) AddLines(text, "out", line);
    for (const std::string& line : reply.errors) AddLines(text, "err", line);
    return text + "exit\t" + std::to_string(reply.status) + "\n";
}

bool CControlChannel::ParseReply(const std::string& text, SControlReply& reply) {
    reply = SControlReply();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        const std::string kind = line.substr(0, tab);
        const std::string rest = tab == std::string::npos ? std::string() : line.substr(tab + 1);
        if (tab != std::string::npos && kind == "out") {
            reply.output.push_back(rest);
        } else if (tab != std::string::npos && kind == "err") {
            reply.errors.push_back(rest);
        } else if (kind == "exit" && !rest.empty() &&
                   rest.find_first_not_of("0123456789") == std::string::npos && rest.size() < 4) {
            reply.status = std::atoi(rest.c_str());
            return !std::getline(in, line);  // nothing may follow
        } else {
            return false;
        }
    }
    return false;  // no exit line: the instance ended before it answered
}

bool CControlChannel::Send(const std::string& folder, const std::vector<std::string>& words,
                           int timeoutMs, SControlReply& reply, std::string& error, bool* refused) {
    if (refused != nullptr)
        *refused = false;
    for (const std::string& word : words) {
        if (word.find_first_of("\t\r\n") != std::string::npos) {
            error = "an argument with a tab or a line break cannot be sent to the running Quillon";
            return false;
        }
    }
    const std::string path = folder + "/" + kFileName;
    int failure = 0;
    const SOCKET socket = LocalSockConnect(path, failure);
    if (socket == INVALID_SOCKET) {
        if (refused != nullptr)
            *refused = failure == ECONNREFUSED || failure == ENOENT;
        error = "cannot reach the running Quillon at " + path + ": " + std::strerror(failure);
        return false;
    }
    const long long deadline = NowMs() + timeoutMs;
    std::string text;
    bool complete = SendAll(socket, FormatRequest(words), deadline);
    while (complete) {
        SWaitEntry entry = {socket, kWaitRead, 0};
        const long long left = deadline - NowMs();
        int waitError = 0;
        if (left <= 0 || SockWait(&entry, 1, static_cast<int>(left), waitError) <= 0) {
            complete = false;
            break;
        }
        char buffer[4096];
        const int n = SockRecv(socket, buffer, sizeof buffer, waitError);
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    SockClose(socket);
    if (!complete) {
        error = "the running Quillon did not answer within " + std::to_string(timeoutMs / 1000) +
                " seconds";
        return false;
    }
    if (!ParseReply(text, reply)) {
        error = "the running Quillon sent a reply that does not read (it may have ended)";
        return false;
    }
    return true;
}
