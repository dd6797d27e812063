// What securing a server connection asks of a session's connection: a line for the
// server and the start of the TLS handshake. The POP3 and SMTP session hosts extend it.
#pragma once

#include <string>

class IServerTLSHost {
public:
    virtual ~IServerTLSHost() = default;

    // One line for the server; its CR LF is added.
    virtual void SendServer(const std::string& line) = 0;
    // Starts TLS on the server connection, the certificate checked against `hostName`
    // and the trusted certificates (those of `caFile` too) unless `verify` is false; the
    // machine is told when the handshake has ended. False with `error` set when it
    // cannot start.
    virtual bool StartTLS(const std::string& hostName, const std::string& caFile, bool verify,
                          std::string& error) = 0;
};
