// One proxied client: the client socket, the socket to the real server once connected,
// line reading on both and the protocol handlers that each session fills in. Created by
// its listener's thread, run by its own thread (which alone touches its sockets, buffers
// and protocol state) and deleted by the listener once that thread has ended.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

#include "ferrymail/proxy/EventSocket.h"
#include "ferrymail/proxy/Listener.h"
#include "ferrymail/proxy/Logger.h"
#include "ferrymail/proxy/ProxyServer.h"
#include "kinbook/foundation/RefCount.h"

// Directions of data, for ReceiveLines, FlushPending, SendData and GetLogCategory.
enum {
    DIR_FROM_SERVER = 0,
    DIR_TO_SERVER = 1,
    DIR_FROM_CLIENT = 2,
    DIR_TO_CLIENT = 3
};

// Results of ConnectToServer.
enum { CTS_FAILED = 0, CTS_PENDING = 1, CTS_CONNECTED = 2 };

// Received bytes not yet cut into lines: [start, end) of the storage; `scanned` bytes
// past `start` are known to hold no line end. Filled without clearing memory first.
struct SInputBuffer {
    std::unique_ptr<char[]> storage;
    size_t capacity = 0;
    size_t start = 0;
    size_t end = 0;
    size_t scanned = 0;

    const char* Data() const { return storage.get() + start; }
    size_t Size() const { return end - start; }
    // Room for `count` more bytes after the end (the unread bytes move to the front).
    char* Reserve(size_t count);
    // Drops the first `count` bytes (at most Size()).
    void Consume(size_t count);
    void Clear() { start = end = scanned = 0; }
};

class CProxyConnection : public CProxyServer, public CLogger {
public:
    // The longest line held whole. A longer one from the client ends the session; one
    // from the server goes to the session in pieces (OnServerLinePiece) or ends it.
    static constexpr size_t kMaxLineLength = 8 * 1024 * 1024;
    // The port of a named host.
    static constexpr int kNamedHostPort = 110;
    // Bytes asked of the socket by one read.
    static constexpr size_t kReadSize = 256 * 1024;
    // While more than this waits to be sent to one side, the other side is not read: a
    // peer that reads slowly does not make the proxy hold everything the other sends.
    static constexpr size_t kMaxBacklog = 4 * 1024 * 1024;
    // Inside a read, a piece at least this large goes straight to a socket with nothing
    // queued rather than being copied into its queue.
    static constexpr size_t kDirectSendSize = 16 * 1024;

    // Takes the accepted client socket.
    CProxyConnection(SOCKET client, PROTOCOL protocol, int number);
    // Leaves the listener's chain and closes both sockets. The thread must have ended
    // (StopThread) before a derived object is deleted; it is only waited for here as
    // a last resort.
    ~CProxyConnection() override;

    const char* GetLogName() override { return m_name.c_str(); }
    int GetNumber() const { return m_number; }
    CListener* GetListener() const { return m_listener; }
    // Attaches to `listener` (null detaches); the listener's chain lock is held.
    void SetListener(CListener* listener);
    const SSocketAddress& GetPeerAddress() const { return m_peerAddress; }
    void SetPeerAddress(const SSocketAddress& address) { m_peerAddress = address; }
    CEventSocket& GetClientSocket() { return m_socket; }
    CEventSocket& GetServerSocket() { return m_serverSocket; }

    void InitializeThread() override;
    void TerminateThread(int exitCode) override;
    void FillEventVec(int& count) override;
    BOOL ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) override;

    virtual void CloseClient();
    virtual void CloseServer() = 0;
    // Reads what `socket` has waiting and hands every complete line on; 1 when at
    // least one line was handled.
    virtual BOOL ReceiveLines(CEventSocket& socket, SInputBuffer& input, std::string& line,
                              int direction);
    // The socket may be written to: sends what is queued for it.
    virtual void FlushPending(CEventSocket& socket, int direction);
    virtual void OnClientRead();
    virtual void OnClientLine(std::string& line) = 0;
    virtual void OnClientWrite();
    virtual void OnClientClose(int errorCode);
    virtual void OnServerRead();
    virtual void OnServerLine(std::string& line) = 0;
    // Offers the complete lines at the front of the server's unread input, [data,
    // data + size): whole lines each ending in CR LF, NUL bytes already blanks, nothing
    // copied; the bytes stay valid only during the call. Returns how many bytes at the
    // front the session has dealt with: 0 (all go to OnServerLine as usual) up to
    // `size`, always a whole number of lines (a count that ends inside a line is rounded
    // down to the last line end before it). What is not taken goes to OnServerLine line
    // by line, and what is left of the block is offered again after each such line, so a
    // session may take the body of a reply here and leave its last line to OnServerLine.
    // Offered only while the server socket is open and no log wants the lines from the
    // server; sends made here are part of the read (see SendData). The default takes
    // nothing.
    virtual size_t OnServerBlock(const char* data, size_t size);
    virtual void OnServerWrite();
    // Closes the server; the client follows once what is queued for it has been sent.
    virtual void OnServerClose(int errorCode);
    // A line from the server beyond kMaxLineLength, in pieces without its CR LF: `first`
    // for the piece that starts it (kMaxLineLength bytes or more), `last` for the one
    // that ends it; no more than one read's worth is held. False refuses the line:
    // OnServerLineTooLong follows. The default refuses.
    virtual bool OnServerLinePiece(const char* data, size_t size, bool first, bool last);
    // A line from the server beyond kMaxLineLength that was refused: by default both
    // ends are closed.
    virtual void OnServerLineTooLong();
    virtual void OnServerConnect(int errorCode) = 0;
    // The TLS handshake with the server has ended: `error` empty when it succeeded, else
    // why it failed. By default a failure ends the session.
    virtual void OnServerHandshake(const std::string& error);
    // The session's clock: OnClockTick every kClockPeriod ms on the connection's thread
    // from StartSessionClock (a running clock keeps its beat) until StopSessionClock or
    // the end of the thread. Either may be called from OnClockTick. Without a listener
    // there is no clock.
    static constexpr int kClockPeriod = 1000;
    void StartSessionClock();
    void StopSessionClock();
    bool IsSessionClockRunning() const { return m_clock != nullptr; }
    // A tick of the session's clock. The default does nothing.
    virtual void OnClockTick();
    // Starts TLS on the connected server socket (see CEventSocket::StartTLS). Refused
    // with `error` set when the server has already sent more in clear.
    BOOL StartServerTLS(const std::string& hostName, const std::string& caFile, bool verify,
                        std::string& error);
    // Cuts the first line (without its CR LF) off `buffer`; 0 when it holds none.
    static BOOL GetLine(std::string& buffer, std::string& line);
    // Cuts the next unit that ReceiveLines hands on off the front of `input`: by default
    // a line without its CR LF. 0 when `input` holds none yet. A session whose units are
    // not lines overrides it; it may end the session when `input` can never hold one.
    virtual BOOL GetLine(SInputBuffer& input, std::string& line);
    // Mode 0 (relayed destination): `argument` + `offset` is "a.b.c.d:port text"; `text`
    // receives the text. A malformed destination sends "-1" to the client, a failure the
    // error number. Other modes: `argument` is a host name, port kNamedHostPort, nothing
    // is sent to the client. CTS_FAILED, CTS_PENDING (OnServerConnect follows) or
    // CTS_CONNECTED.
    virtual int ConnectToServer(const char* argument, std::string& text, int mode, int offset);
    // Connects to `host` (a name or dotted address) on `port`; as ConnectToServer's
    // named-host mode.
    int ConnectToNamedHost(const char* host, int port);
    // Opens the server socket and connects it to m_peerAddress: CTS_CONNECTED,
    // CTS_PENDING, or CTS_FAILED with `error` set (`created`: the socket was made).
    int StartServerConnection(int& error, bool& created);
    virtual unsigned GetLogCategory(int direction) = 0;
    // Sends at once when the socket takes it, else queues it; bytes always leave in the
    // order given. Inside ReceiveLines, pieces shorter than kDirectSendSize are queued
    // until the read is handled. 0 on a socket error (inside ReceiveLines only for a
    // closed socket: a failed send shows when the queue is sent).
    virtual BOOL SendData(CEventSocket& socket, const char* data, int length, int direction);
    // The session's message store (a reference-counted store), or null.
    virtual CRefCount* GetStore();
    // Notifications for the user interface (see CUINotifier).
    virtual void NotifyUI(UINT wParam, CRefCount* object);
    virtual void NotifyUI(UINT wParam, const std::string& text);
    virtual void NotifyStore(int code, int data);
    // A text of the library's string table, formatted with the arguments.
    virtual void NotifyString(UINT wParam, UINT id, ...);
    // Starts the connection's thread; 0 when it could not be made.
    virtual BOOL StartConnection();
    // `length` -1: the whole text.
    BOOL SendClient(const char* text, int length = -1);
    BOOL SendClient(const std::string& text, int length = -1);
    BOOL SendClientLine(const char* text, int length = -1);
    BOOL SendClientLine(const std::string& text, int length = -1);
    BOOL SendClientFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    BOOL SendServerLine(const std::string& text);
    BOOL SendServer(const char* text, int length = -1);
    BOOL SendServer(const std::string& text, int length = -1);

protected:
    // Sends what is queued for `socket` while it takes it.
    void SendPending(CEventSocket& socket, int direction);
    // Pauses reading a side while the other side's queue is over kMaxBacklog.
    void UpdateBacklog();

    CListener* m_listener = nullptr;  // owner; set under its chain lock
    std::string m_name;
    int m_number;
    CEventSocket m_serverSocket;
    SSocketAddress m_peerAddress;
    SInputBuffer m_clientBuffer;
    std::string m_clientLine;
    SInputBuffer m_serverBuffer;
    std::string m_serverLine;
    BOOL m_rebuild = FALSE;  // a new handle must join the wait set
    // Received bytes reach the session as they came. By default each zero byte becomes
    // a blank, for sessions that treat their lines as C strings.
    bool m_keepZeroBytes = false;

private:
    // ReceiveLines' line loop over what `input` holds: whole blocks of lines (the first
    // `blockLeft` bytes) offered to OnServerBlock, then line by line. 1 when at least
    // one line was handled.
    BOOL HandleLines(CEventSocket& socket, SInputBuffer& input, std::string& line,
                     int direction, bool logging, size_t blockLeft);
    // The server's unfinished line in `input` has outgrown kMaxLineLength: offered as the
    // first piece; false when the session refused it.
    bool StartLongLine(SInputBuffer& input);
    // The next piece of a long line from the front of `input`; true when it was the
    // last (the rest of `input` is lines again).
    bool ContinueLongLine(SInputBuffer& input);
    // Refuses the server's line: logged, the input dropped, OnServerLineTooLong.
    void RefuseLongLine(SInputBuffer& input);

    CPollEvent* m_clock = nullptr;       // the listener's, held while the session's clock runs
    bool m_corked = false;               // sends are queued until the read is handled
    bool m_corkedLogging = false;        // while corked: whether lines are logged
    bool m_closeClientWhenSent = false;  // the server has closed; the client follows
    bool m_serverLongLine = false;       // a server line over the limit is coming in pieces
    int m_closeCode = 0;
};
