// One line of an SMTP client as the proxy reads it (RFC 5321 4.1): the command word
// and its argument, and the text helpers the session and its log-in share to read
// envelope paths and replies. Plain values, used by one session's thread.
#pragma once

#include <string>

enum class ESMTPCommand {
    kOther = 1,
    kConnect = 2,
    kMail = 3,
    kRcpt = 4,
    kRset = 5,
    kData = 6,
    kQuit = 7,
    // Answered by the proxy itself before a server is known (named-host mode).
    kEhlo = 8,
    kHelo = 9,
    kAuth = 10,
    kNoop = 11,
};

struct SSMTPCommand {
    ESMTPCommand code = ESMTPCommand::kOther;
    std::string line;      // trimmed at both ends: what is relayed
    std::string argument;  // after the first blank or tab, trimmed

    // The first word (case ignored) gives the code; an unknown word is kOther.
    static SSMTPCommand Parse(const std::string& line);

    // Blanks and tabs cut from both ends.
    static std::string Trim(const std::string& text);
    static bool StartsNoCase(const std::string& text, const char* prefix);
    // The path of a MAIL "FROM:" or RCPT "TO:" argument after its prefix (RFC 5321
    // 4.1.2): "<a@b>" up to its closing bracket (or all of an unclosed one), or a bare
    // address up to the first blank; the parameters after it (SIZE=, BODY=, NOTIFY=)
    // are no part of the address.
    static std::string EnvelopePath(const std::string& rest);
    // The last line of a reply: its code stands alone or is followed by a blank (RFC 5321
    // 4.2.1); "250-" lines continue.
    static bool IsFinalReplyLine(const std::string& line) {
        return line.size() <= 3 || line[3] != '-';
    }
};
