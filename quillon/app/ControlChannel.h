// The control channel of a running quillon: a Unix-domain stream socket "quillon.control"
// in the data folder (mode 0600, only the same user is served) on which a command-line
// invocation hands its command to the instance that owns the data folder. One request
// line in, reply lines out (docs/held-mail.md):
//
//   request:  NAME [TAB ARGUMENT]... LF
//   reply:    ("out" TAB TEXT LF | "err" TAB TEXT LF)... "exit" TAB STATUS LF
//
// Commands are looked up by NAME in a table filled before Start. The channel's thread
// reads requests from any number of clients at once and runs them one at a time; a
// handler runs on that thread. Owned by the engine on the main thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kinbook/foundation/PollEvent.h"
#include "kinbook/foundation/Socket.h"

// What a command prints and its exit status, on either side of the channel.
struct SControlReply {
    std::vector<std::string> output;  // lines for the standard output
    std::vector<std::string> errors;  // lines for the standard error
    int status = 0;
};

class CControlChannel {
public:
    static constexpr const char kFileName[] = "quillon.control";
    static constexpr size_t kMaxRequest = 64 * 1024;
    static constexpr int kRequestTimeoutMs = 10000;
    // Exit status of a request the channel refuses (unknown command, malformed line).
    static constexpr int kBadRequestStatus = 2;
    // How long Route waits for an instance that holds the lock to listen, and for a reply.
    static constexpr int kStartingWaitMs = 5000;
    static constexpr int kReplyTimeoutMs = 60000;

    // Runs one command: `arguments` are the words after its name.
    using Handler =
        std::function<int(const std::vector<std::string>& arguments, SControlReply& reply)>;

    CControlChannel() = default;
    ~CControlChannel();
    CControlChannel(const CControlChannel&) = delete;
    CControlChannel& operator=(const CControlChannel&) = delete;

    // Adds a command to the table; before Start only.
    void Register(const std::string& name, Handler handler);
    // Listens at `folder`/quillon.control (replacing a socket file a killed instance
    // left) and starts the channel's thread. The caller holds the folder's instance lock.
    // False with `error` set.
    bool Start(const std::string& folder, std::string& error);
    // Ends the thread, closes the clients and removes the socket file. Safe to repeat.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }
    const std::string& GetPath() const { return m_path; }

    // Runs `words` (name, then arguments) through the table as a request from a client
    // would run; the exit status, also set in `reply`.
    int Run(const std::vector<std::string>& words, SControlReply& reply);

    // A command line's way to a command of the table. When a quillon holds the instance
    // lock of `folder`, `words` go to it (an instance that does not listen yet is given a
    // few seconds to start); when none does, this process takes the lock and runs `local`
    // while holding it, so that no instance starts meanwhile. The exit status.
    using LocalRun = std::function<int(SControlReply& reply)>;
    static int Route(const std::string& folder, const std::vector<std::string>& words,
                     const LocalRun& local, SControlReply& reply);

    // Sends `words` (name, then arguments) to the instance of `folder` and waits up to
    // `timeoutMs` for its reply. False with `error` set when nobody answers there, a
    // word cannot be sent (tab, CR or LF in it) or the reply is malformed; `refused`
    // tells that nobody listens at the socket (an instance still starting, or none).
    static bool Send(const std::string& folder, const std::vector<std::string>& words,
                     int timeoutMs, SControlReply& reply, std::string& error, bool* refused);

    // The wire texts (see above).
    static std::string FormatRequest(const std::vector<std::string>& words);
    static std::vector<std::string> ParseRequest(const std::string& line);
    static std::string FormatReply(const SControlReply& reply);
    static bool ParseReply(const std::string& text, SControlReply& reply);

private:
    struct SClient {
        SOCKET socket;
        std::string request;
        long long deadline;  // steady-clock milliseconds
    };

    void Serve();
    // Reads what `client` sent; true when it is done with (answered or gone).
    bool ReadFrom(SClient& client);
    void Answer(SClient& client, const SControlReply& reply);
    SControlReply Dispatch(const std::string& line);

    std::map<std::string, Handler> m_handlers;  // fixed once the thread runs
    std::string m_path;
    SOCKET m_listener = INVALID_SOCKET;
    CPollEvent m_stop;
    std::thread m_thread;
};
