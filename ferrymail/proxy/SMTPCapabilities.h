// The SMTP extensions a mail client of the proxy is offered (RFC 5321 4.1.1.1 EHLO): the
// proxy's own EHLO reply before a server is known, and a relayed EHLO reply without the
// extensions that would take the conversation past the session (STARTTLS, CHUNKING,
// BINARYMIME) or past its one remembered command (PIPELINING). Owned by one session and
// used by its thread.
#pragma once

#include <string>
#include <vector>

class CLogger;

class CSMTPCapabilities {
public:
    explicit CSMTPCapabilities(CLogger& log) : m_log(log) {}

    // The proxy's own EHLO reply, line by line.
    static const std::vector<std::string>& OwnReply();
    // The proxy's refusal of a command line of an extension never offered (STARTTLS,
    // BDAT); empty for any other line.
    static std::string RefusalOf(const std::string& line);
    // A MAIL line without the parameters of the proxy's own EHLO reply that the server
    // did not offer in `keywords` (its EHLO reply, codes taken off): RFC 1870 SIZE=
    // without SIZE, RFC 6152 BODY= without 8BITMIME. A server would refuse the whole
    // command.
    static std::string WithoutUnofferedParameters(const std::string& line,
                                                  const std::vector<std::string>& keywords);

    // The reply to a relayed EHLO is coming: its lines go to FilterLine.
    void StartFiltering();
    bool IsFiltering() const { return m_filtering; }
    // One line of that reply. True when it was the last: `forClient` is then the reply
    // as the client gets it, the withheld lines left out and the last kept line made
    // the final one, and filtering is over.
    bool FilterLine(const std::string& line, std::vector<std::string>& forClient);

private:
    CLogger& m_log;
    bool m_filtering = false;
    std::vector<std::string> m_kept;  // the reply's lines kept so far
};
