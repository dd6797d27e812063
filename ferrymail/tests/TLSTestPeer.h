// TLS helpers for the proxy tests: a test CA with server certificates signed by it, made
// with `openssl req` in a folder of the test's own, and the server side of one
// connection that reads lines in clear or over TLS.
#pragma once

#include <openssl/ssl.h>

#include <cstdlib>
#include <string>

#include "ProxyTestPeers.h"

namespace testpeers {

// ca.pem (the test CA), right.pem/right.key (localhost and 127.0.0.1) and
// other.pem/other.key (mail.example.org), in `folder`.
inline bool MakeCertificates(const std::string& folder) {
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string at = "cd '" + folder + "' && openssl req -x509";
    const std::string commands[] = {
        at + key + " -keyout ca.key -out ca.pem -subj /CN=Quillon-test-CA",
        at + key + " -keyout right.key -out right.pem -subj /CN=localhost" +
            " -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -CA ca.pem -CAkey ca.key",
        at + key + " -keyout other.key -out other.pem -subj /CN=mail.example.org" +
            " -addext subjectAltName=DNS:mail.example.org -CA ca.pem -CAkey ca.key",
    };
    for (const std::string& command : commands)
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            return false;
    return true;
}

// The server's end of one accepted connection: in clear until Secure, then over TLS.
struct STLSPeer {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string buffer;

    explicit STLSPeer(int socket) : fd(socket) {}
    ~STLSPeer() {
        if (ssl != nullptr) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
    }
    bool Secure(SSL_CTX* context) {
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        return SSL_accept(ssl) == 1;
    }
    bool Send(const std::string& data) {
        if (ssl == nullptr)
            return TestServer::SendAll(fd, data);
        return SSL_write(ssl, data.data(), static_cast<int>(data.size())) > 0;
    }
    bool ReadLine(std::string& line) {
        if (ssl == nullptr)
            return TestServer::ReadLine(fd, buffer, line, 20.0);
        for (;;) {
            const size_t end = buffer.find("\r\n");
            if (end != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                return true;
            }
            char chunk[16384];
            const int got = SSL_read(ssl, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(got));
        }
    }
};

}  // namespace testpeers
