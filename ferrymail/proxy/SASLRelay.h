// A SASL log-in passed through to the server, for POP3 (AUTH, RFC 5034) and SMTP (AUTH,
// RFC 4954): PLAIN, LOGIN, XOAUTH2 and OAUTHBEARER (RFC 7628). The client's first
// response names the server in its user name, user/host[:port]; the server is given the
// user part and everything else unchanged. Used by one session's thread.
#pragma once

#include <string>

class CSASLRelay {
public:
    enum class EMechanism { kNone, kPlain, kLogin, kXOAuth2, kOAuthBearer };
    // The protocol's challenges ("+ " or "334 "), refusals ("-ERR" or SMTP codes) and
    // longest command line.
    enum class EProtocol { kPOP3, kSMTP };

    explicit CSASLRelay(EProtocol protocol = EProtocol::kPOP3) : m_protocol(protocol) {}

    // The mechanisms for the proxy's own CAPA "SASL" line.
    static const char* Mechanisms() { return "PLAIN LOGIN XOAUTH2 OAUTHBEARER"; }

    // AUTH from the client (`argument`: the mechanism and any initial response) before a
    // server is known. Returns the line for the client: a challenge ("+ ..." or
    // "334 ..."; the client's next line goes to OnClientResponse), a refusal (the log-in
    // is over), or empty when the first response came with the command (LoginName() is
    // known). `connected`: a server is connected already and the log-in is for it, so a
    // user name without a host is taken as well.
    std::string OnAuth(const std::string& argument, bool connected = false);
    // The log-in started by OnAuth is for the connected server.
    bool IsForConnected() const { return m_connected; }
    // The client's answer to the proxy's challenge; results as OnAuth.
    std::string OnClientResponse(const std::string& line);
    // The proxy waits for the client's first response.
    bool AwaitsFirstResponse() const { return m_awaitingFirst; }
    // user/host[:port] of the first response, once known (for the connected server it
    // may be the user name alone).
    const std::string& LoginName() const { return m_loginName; }
    bool IsStarted() const { return !m_loginName.empty(); }

    // The AUTH line for the server, the first response rewritten for `serverHost` and
    // `serverPort` (OAUTHBEARER names them). A response that would make the line longer
    // than the protocol allows (RFC 5034: 255, RFC 4954: 510 without CR LF) waits for
    // the server's first challenge instead.
    std::string ServerCommand(const std::string& serverHost, int serverPort);
    // While the exchange with the server runs: its "+" challenges come to OnChallenge,
    // which says whether the proxy answered it itself (the first response held back);
    // otherwise the challenge goes to the client, whose answer is relayed.
    void SetExchanging(bool exchanging) { m_exchanging = exchanging; }
    bool IsExchanging() const { return m_exchanging; }
    bool OnChallenge(std::string& answer);
    // A server line while the exchange runs. kEnded: no challenge, so the exchange is over
    // (the line is the reply to AUTH); kAnswer: `answer` (the held first response) goes to
    // the server; kForClient: the challenge goes to the client.
    enum class EServerLine { kEnded, kAnswer, kForClient };
    EServerLine OnServerLine(const std::string& line, std::string& answer);
    // OnServerLine with its outcome carried out: the held first response goes to
    // `toServer`, a challenge to `toClient`. False when the line ends the exchange.
    template <class ToServer, class ToClient>
    bool PassServerLine(const std::string& line, ToServer toServer, ToClient toClient) {
        std::string answer;
        switch (OnServerLine(line, answer)) {
            case EServerLine::kEnded:
                return false;
            case EServerLine::kAnswer:
                toServer(answer);
                return true;
            case EServerLine::kForClient:
                toClient(line);
                return true;
        }
        return false;
    }
    bool IsChallenge(const std::string& line) const {
        if (m_protocol == EProtocol::kSMTP)
            return line == "334" || line.compare(0, 4, "334 ") == 0;
        return line == "+" || line.compare(0, 2, "+ ") == 0;
    }
    // The user part and the host and port of LoginName() (`defaultPort` when it names
    // none); false before a log-in name is known.
    bool SplitLoginName(std::string& user, std::string& host, int& port, int defaultPort) const;
    // AUTH from the client once the server is known (`argument` as for OnAuth): the
    // exchange is relayed as it is, and only the user name is read from the first
    // response, in the AUTH line or in the client's first line after it. True when
    // `user` is that name.
    bool RelayAuth(const std::string& argument, std::string& user);
    // A client line of a relayed exchange; true when it was the first response and
    // `user` its user name.
    bool OnRelayedResponse(const std::string& line, std::string& user);
    // Back to no log-in (after the server's final reply).
    void Reset() { *this = CSASLRelay(m_protocol); }

    // Base64 (RFC 4648) without line breaks; Decode is false for anything else.
    static std::string EncodeBase64(const std::string& data);
    static bool DecodeBase64(const std::string& text, std::string& data);

private:
    enum class ERefusal { kNoMechanism, kUnsupported, kCancelled, kMalformed, kNoServer };

    std::string TakeFirstResponse(const std::string& encoded);
    // The refusal's line in this protocol; `detail` follows some of them.
    std::string Refusal(ERefusal refusal, const std::string& detail = std::string()) const;
    std::string Challenge(const std::string& encoded) const;

    EProtocol m_protocol;
    EMechanism m_mechanism = EMechanism::kNone;
    std::string m_mechanismName;  // as the client wrote it
    std::string m_response;       // the first response, decoded
    std::string m_loginName;
    std::string m_user;          // the user part of m_loginName
    std::string m_heldResponse;  // for the server's first challenge
    bool m_heldPending = false;  // m_heldResponse is still to be sent
    bool m_awaitingFirst = false;
    bool m_nameInNext = false;  // a relayed exchange's next client line is the first response
    bool m_exchanging = false;
    bool m_connected = false;  // OnAuth's `connected`
};
