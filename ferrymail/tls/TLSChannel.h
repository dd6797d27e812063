// The client end of one TLS connection over a byte stream that its owner carries:
// ciphertext from the peer is fed in, ciphertext for the peer is taken out, plain text
// goes in and out. The channel never touches a socket, so it works under any
// non-blocking loop. The only class that calls OpenSSL; owned and used by one thread.
#pragma once

#include <memory>
#include <string>

class CTLSChannel {
public:
    struct SOptions {
        std::string hostName;  // checked against the certificate (name or IPv4 literal)
        std::string caFile;    // certificates trusted beside the system's store; may be empty
        bool verify = true;    // false only for an account that asked for it by name
    };
    enum class EResult {
        kDone,    // the handshake is complete
        kWant,    // more bytes from the peer are needed
        kFailed,  // see Error()
    };

    CTLSChannel();
    ~CTLSChannel();
    CTLSChannel(const CTLSChannel&) = delete;
    CTLSChannel& operator=(const CTLSChannel&) = delete;

    // The directory the system's trusted certificates are looked up in by subject hash
    // (SSL_CERT_DIR, else OpenSSL's default), when it holds hashed names and SSL_CERT_FILE
    // is not set; empty when OpenSSL's default file and directory are read instead.
    static std::string SystemTrustDirectory();
    // Makes and keeps the context for `options` (the host name aside), so that no later
    // connection with them reads the trusted certificates. False with `error` set when
    // they cannot be read.
    static bool Prepare(const SOptions& options, std::string& error);

    // Prepares the handshake (the client's first message is then in the output). False
    // with Error() set when the trusted certificates cannot be read.
    bool Start(const SOptions& options);
    // Advances the handshake with what has been fed.
    EResult Handshake();
    bool IsEstablished() const { return m_established; }

    // Ciphertext from the peer.
    void Feed(const char* data, size_t size);
    // Ciphertext for the peer: the bytes waiting, and how many of them have left.
    const char* Output(size_t& size) const;
    void Consume(size_t size);
    bool HasOutput() const { return m_outStart < m_out.size(); }
    size_t OutputSize() const { return m_out.size() - m_outStart; }

    // Plain bytes: > 0 read, 0 none until more is fed, -1 the stream has ended
    // (IsClosed(): the peer's orderly close) or failed (Error()).
    int Read(char* data, int size);
    // Plain bytes for the peer: all are taken (the ciphertext joins the output), or -1.
    int Write(const char* data, int size);
    // Ends the stream in order (the peer is told, RFC 8446 section 6.1): the close
    // message joins the output. A stream cut without it cannot be resumed later.
    void Shutdown();
    // A Read may give bytes without more input (decoded text, or whole records fed).
    bool HasBufferedInput() const;
    bool IsClosed() const { return m_closed; }

    // What went wrong, in words for the log and the mail client.
    const std::string& Error() const { return m_error; }
    // The protocol version and cipher, and whether an earlier session was resumed.
    std::string Description() const;

private:
    struct SState;

    void TakeOutput();
    void Fail(int sslError, const char* during);

    std::unique_ptr<SState> m_state;
    std::string m_out;
    size_t m_outStart = 0;
    std::string m_error;
    bool m_established = false;
    bool m_closed = false;
    bool m_moreToRead = false;  // the last read gave bytes: the next may too
};
