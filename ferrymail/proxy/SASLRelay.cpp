#include "proxy/SASLRelay.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "kinbook/foundation/TextHelpers.h"

namespace {

constexpr const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The longest command lines of RFC 5034 and RFC 4954 (initial responses included).
constexpr size_t kMaxPOP3CommandLine = 255;
constexpr size_t kMaxSMTPCommandLine = 510;
constexpr const char kNoServer[] = "Log in as user/host[:port] to name the server";

struct SMechanismName {
    const char* name;
    CSASLRelay::EMechanism mechanism;
};

const SMechanismName kMechanisms[] = {
    {"PLAIN", CSASLRelay::EMechanism::kPlain},
    {"LOGIN", CSASLRelay::EMechanism::kLogin},
    {"XOAUTH2", CSASLRelay::EMechanism::kXOAuth2},
    {"OAUTHBEARER", CSASLRelay::EMechanism::kOAuthBearer},
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1)
        parts.push_back(text.substr(at, end - at));
    parts.push_back(text.substr(at));
    return parts;
}

std::string Join(const std::vector<std::string>& parts, char separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            text += separator;
        text += parts[i];
    }
    return text;
}

// RFC 5801 saslname: "," and "=" are written =2C and =3D.
bool DecodeSASLName(const std::string& text, std::string& name) {
    name.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            name += text[i];
        } else if (text.compare(i, 3, "=2C") == 0 || text.compare(i, 3, "=3D") == 0) {
            name += text[i + 2] == 'C' ? ',' : '=';
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

std::string EncodeSASLName(const std::string& name) {
    std::string text;
    for (char c : name) text += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    return text;
}

// The user name inside a first response, by mechanism: PLAIN's authentication identity
// (or the authorization identity), LOGIN's whole response, XOAUTH2's "user=",
// OAUTHBEARER's "a=". False when the response is malformed.
bool NameIn(CSASLRelay::EMechanism mechanism, const std::string& response, std::string& name) {
    switch (mechanism) {
        case CSASLRelay::EMechanism::kPlain: {
            const std::vector<std::string> parts = Split(response, '\0');
            if (parts.size() != 3)
                return false;
            // The identity that names a server (user/host) wherever the client put it;
            // otherwise the authentication identity.
            const bool inAuthzid = parts[1].find('/') == std::string::npos &&
                                   parts[0].find('/') != std::string::npos;
            name = inAuthzid ? parts[0] : parts[1];
            return true;
        }
        case CSASLRelay::EMechanism::kLogin:
            name = response;
            return true;
        case CSASLRelay::EMechanism::kXOAuth2: {
            const std::vector<std::string> parts = Split(response, '\x01');
            if (parts.size() < 2 || parts[0].compare(0, 5, "user=") != 0)
                return false;
            name = parts[0].substr(5);
            return true;
        }
        case CSASLRelay::EMechanism::kOAuthBearer: {
            const std::vector<std::string> header =
                Split(response.substr(0, response.find('\x01')), ',');
            return header.size() >= 3 && header[1].compare(0, 2, "a=") == 0 &&
                   DecodeSASLName(header[1].substr(2), name);
        }
        case CSASLRelay::EMechanism::kNone:
            break;
    }
    return false;
}

}  // namespace

std::string CSASLRelay::EncodeBase64(const std::string& data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t left = data.size() - i;
        unsigned value = static_cast<unsigned char>(data[i]) << 16;
        if (left > 1)
            value |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (left > 2)
            value |= static_cast<unsigned char>(data[i + 2]);
        text += kAlphabet[(value >> 18) & 63];
        text += kAlphabet[(value >> 12) & 63];
        text += left > 1 ? kAlphabet[(value >> 6) & 63] : '=';
        text += left > 2 ? kAlphabet[value & 63] : '=';
    }
    return text;
}

bool CSASLRelay::DecodeBase64(const std::string& text, std::string& data) {
    if (text.size() % 4 != 0)
        return false;
    data.clear();
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned value = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const char* at = c != '\0' ? std::strchr(kAlphabet, c) : nullptr;
            // Padding only at the very end, at most two, never before a digit.
            if (c == '=' && i + 4 == text.size() && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                ++padding;
                value <<= 6;
                continue;
            }
            if (at == nullptr || padding > 0)
                return false;
            value = (value << 6) | static_cast<unsigned>(at - kAlphabet);
        }
        data += static_cast<char>(value >> 16);
        if (padding < 2)
            data += static_cast<char>((value >> 8) & 0xFF);
        if (padding < 1)
            data += static_cast<char>(value & 0xFF);
    }
    return true;
}

std::string CSASLRelay::Refusal(ERefusal refusal, const std::string& detail) const {
    const bool pop3 = m_protocol == EProtocol::kPOP3;
    switch (refusal) {
        case ERefusal::kNoMechanism:
            return pop3 ? "-ERR AUTH needs a mechanism" : "501 5.5.4 AUTH needs a mechanism";
        case ERefusal::kUnsupported:
            return (pop3 ? "-ERR " : "504 5.5.4 ") + std::string("Unsupported SASL mechanism ") +
                   detail;
        case ERefusal::kCancelled:
            return pop3 ? "-ERR Authentication cancelled" : "501 5.0.0 Authentication cancelled";
        case ERefusal::kMalformed:
            return pop3 ? "-ERR Malformed SASL response" : "501 5.5.2 Malformed SASL response";
        case ERefusal::kNoServer:
            break;
    }
    return (pop3 ? "-ERR " : "535 5.7.8 ") + std::string(kNoServer);
}

std::string CSASLRelay::Challenge(const std::string& encoded) const {
    return (m_protocol == EProtocol::kPOP3 ? "+ " : "334 ") + encoded;
}

bool CSASLRelay::SplitLoginName(std::string& user, std::string& host, int& port,
                                int defaultPort) const {
    const size_t slash = m_loginName.find('/');
    if (slash == std::string::npos)
        return false;
    const size_t colon = m_loginName.rfind(':');
    const bool hasPort = colon != std::string::npos && colon > slash;
    user = m_user;
    host = m_loginName.substr(slash + 1, hasPort ? colon - slash - 1 : std::string::npos);
    port = hasPort ? std::atoi(m_loginName.c_str() + colon + 1) : defaultPort;
    return true;
}

std::string CSASLRelay::OnAuth(const std::string& argument, bool connected) {
    Reset();
    m_connected = connected;
    const size_t blank = argument.find_first_of(" \t");
    m_mechanismName = argument.substr(0, blank);
    for (const SMechanismName& known : kMechanisms)
        if (CompareNoCase(m_mechanismName.c_str(), known.name) == 0)
            m_mechanism = known.mechanism;
    if (m_mechanism == EMechanism::kNone)
        return Refusal(m_mechanismName.empty() ? ERefusal::kNoMechanism : ERefusal::kUnsupported,
                       m_mechanismName);
    if (blank == std::string::npos) {
        m_awaitingFirst = true;
        // LOGIN asks for the user name ("Username:"); the others start empty.
        return Challenge(m_mechanism == EMechanism::kLogin ? "VXNlcm5hbWU6" : "");
    }
    const std::string initial = argument.substr(argument.find_first_not_of(" \t", blank));
    return TakeFirstResponse(initial == "=" ? std::string() : initial);
}

bool CSASLRelay::RelayAuth(const std::string& argument, std::string& user) {
    Reset();
    m_exchanging = true;
    const size_t blank = argument.find_first_of(" \t");
    const std::string mechanism = argument.substr(0, blank);
    for (const SMechanismName& known : kMechanisms)
        if (CompareNoCase(mechanism.c_str(), known.name) == 0)
            m_mechanism = known.mechanism;
    if (m_mechanism == EMechanism::kNone)
        return false;
    const size_t initial = blank == std::string::npos
                               ? std::string::npos
                               : argument.find_first_not_of(" \t", blank);
    if (initial == std::string::npos) {
        m_nameInNext = true;
        return false;
    }
    std::string response;
    return DecodeBase64(argument.substr(initial), response) &&
           NameIn(m_mechanism, response, user) && !user.empty();
}

bool CSASLRelay::OnRelayedResponse(const std::string& line, std::string& user) {
    if (!m_nameInNext)
        return false;
    m_nameInNext = false;
    std::string response;
    return line != "*" && DecodeBase64(line, response) && NameIn(m_mechanism, response, user) &&
           !user.empty();
}

std::string CSASLRelay::OnClientResponse(const std::string& line) {
    m_awaitingFirst = false;
    if (line == "*") {
        Reset();
        return Refusal(ERefusal::kCancelled);
    }
    return TakeFirstResponse(line);
}

std::string CSASLRelay::TakeFirstResponse(const std::string& encoded) {
    std::string name;
    if (!DecodeBase64(encoded, m_response) || !NameIn(m_mechanism, m_response, name)) {
        Reset();
        return Refusal(ERefusal::kMalformed);
    }
    const size_t slash = name.find('/');
    if (m_connected && name.empty()) {
        Reset();
        return Refusal(ERefusal::kMalformed);
    }
    const bool forConnected = m_connected && slash == std::string::npos;
    if (!forConnected && (slash == std::string::npos || slash == 0 || slash + 1 == name.size())) {
        Reset();
        return Refusal(ERefusal::kNoServer);
    }
    m_loginName = name;
    m_user = name.substr(0, slash);
    return std::string();
}

std::string CSASLRelay::ServerCommand(const std::string& serverHost, int serverPort) {
    std::string response = m_response;
    switch (m_mechanism) {
        case EMechanism::kPlain: {
            std::vector<std::string> parts = Split(response, '\0');
            for (size_t i = 0; i < 2; ++i)
                if (parts[i] == m_loginName)
                    parts[i] = m_user;
            response = Join(parts, '\0');
            break;
        }
        case EMechanism::kLogin:
            response = m_user;
            break;
        case EMechanism::kXOAuth2: {
            std::vector<std::string> parts = Split(response, '\x01');
            parts[0] = "user=" + m_user;
            response = Join(parts, '\x01');
            break;
        }
        case EMechanism::kOAuthBearer: {
            std::vector<std::string> parts = Split(response, '\x01');
            std::vector<std::string> header = Split(parts[0], ',');
            header[1] = "a=" + EncodeSASLName(m_user);
            parts[0] = Join(header, ',');
            // The host and port the client named are the proxy's.
            for (size_t i = 1; i < parts.size(); ++i) {
                if (parts[i].compare(0, 5, "host=") == 0)
                    parts[i] = "host=" + serverHost;
                else if (parts[i].compare(0, 5, "port=") == 0)
                    parts[i] = "port=" + std::to_string(serverPort);
            }
            response = Join(parts, '\x01');
            break;
        }
        case EMechanism::kNone:
            break;
    }
    std::string encoded = EncodeBase64(response);
    if (encoded.empty())
        encoded.assign(1, '=');
    const std::string command = std::string("AUTH ").append(m_mechanismName);
    if (m_mechanism == EMechanism::kLogin ||
        command.size() + 1 + encoded.size() >
            (m_protocol == EProtocol::kPOP3 ? kMaxPOP3CommandLine : kMaxSMTPCommandLine)) {
        m_heldResponse = encoded == "=" ? std::string() : encoded;
        m_heldPending = true;
        return command;
    }
    return command + " " + encoded;
}

CSASLRelay::EServerLine CSASLRelay::OnServerLine(const std::string& line, std::string& answer) {
    if (!IsChallenge(line)) {
        Reset();
        return EServerLine::kEnded;
    }
    return OnChallenge(answer) ? EServerLine::kAnswer : EServerLine::kForClient;
}

bool CSASLRelay::OnChallenge(std::string& answer) {
    if (!m_heldPending)
        return false;
    m_heldPending = false;
    answer = m_heldResponse;
    m_heldResponse.clear();
    return true;
}
