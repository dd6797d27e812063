// A SASL log-in (AUTH, RFC 5034) passed through to the server: PLAIN, LOGIN, XOAUTH2 and
// OAUTHBEARER (RFC 7628). The client's first response names the server in its user
// name, user/host[:port], as USER does; the server is given the user part and
// everything else unchanged. Used by one session's thread.
#pragma once

#include <string>

class CPOP3SASL {
public:
    enum class EMechanism { kNone, kPlain, kLogin, kXOAuth2, kOAuthBearer };

    // The mechanisms for the proxy's own CAPA "SASL" line.
    static const char* Mechanisms() { return "PLAIN LOGIN XOAUTH2 OAUTHBEARER"; }

    // AUTH from the client (`argument`: the mechanism and any initial response) before a
    // server is known. Returns the line for the client: a challenge ("+ ..."; the
    // client's next line goes to OnClientResponse), "-ERR ..." (the log-in is over), or
    // empty when the first response came with the command (LoginName() is known).
    std::string OnAuth(const std::string& argument);
    // The client's answer to the proxy's challenge; results as OnAuth.
    std::string OnClientResponse(const std::string& line);
    // The proxy waits for the client's first response.
    bool AwaitsFirstResponse() const { return m_awaitingFirst; }
    // user/host[:port] of the first response, once known.
    const std::string& LoginName() const { return m_loginName; }
    bool IsStarted() const { return !m_loginName.empty(); }

    // The AUTH line for the server, the first response rewritten for `serverHost` and
    // `serverPort` (OAUTHBEARER names them). A response that would make the line longer
    // than RFC 5034 allows (255) waits for the server's first challenge instead.
    std::string ServerCommand(const std::string& serverHost, int serverPort);
    // While the exchange with the server runs: its "+" challenges come to OnChallenge,
    // which says whether the proxy answered it itself (the first response held back);
    // otherwise the challenge goes to the client, whose answer is relayed.
    void SetExchanging(bool exchanging) { m_exchanging = exchanging; }
    bool IsExchanging() const { return m_exchanging; }
    bool OnChallenge(std::string& answer);
    static bool IsChallenge(const std::string& line) {
        return line == "+" || line.compare(0, 2, "+ ") == 0;
    }
    // Back to no log-in (after the server's final reply).
    void Reset() { *this = CPOP3SASL(); }

    // Base64 (RFC 4648) without line breaks; Decode is false for anything else.
    static std::string EncodeBase64(const std::string& data);
    static bool DecodeBase64(const std::string& text, std::string& data);

private:
    std::string TakeFirstResponse(const std::string& encoded);

    EMechanism m_mechanism = EMechanism::kNone;
    std::string m_mechanismName;  // as the client wrote it
    std::string m_response;       // the first response, decoded
    std::string m_loginName;
    std::string m_user;          // the user part of m_loginName
    std::string m_heldResponse;  // for the server's first challenge
    bool m_heldPending = false;  // m_heldResponse is still to be sent
    bool m_awaitingFirst = false;
    bool m_exchanging = false;
};
