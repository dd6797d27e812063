#include "proxy/SMTPCapabilities.h"

#include <algorithm>

#include "ferrymail/proxy/Logger.h"
#include "kinbook/foundation/TextHelpers.h"
#include "proxy/SMTPCommand.h"

namespace {

// Extensions of a server's EHLO reply that the client is never offered.
const char* const kWithheld[] = {"STARTTLS", "CHUNKING", "BINARYMIME", "PIPELINING"};

bool IsWithheld(const std::string& keywordLine) {
    const std::string word = keywordLine.substr(0, keywordLine.find_first_of(" \t="));
    for (const char* withheld : kWithheld)
        if (CompareNoCase(word.c_str(), withheld) == 0)
            return true;
    return false;
}

bool Offers(const std::vector<std::string>& keywords, const char* extension) {
    for (const std::string& keyword : keywords)
        if (CompareNoCase(keyword.substr(0, keyword.find(' ')).c_str(), extension) == 0)
            return true;
    return false;
}

}  // namespace

const std::vector<std::string>& CSMTPCapabilities::OwnReply() {
    // PIPELINING is left out: the session follows one command's reply at a time.
    static const std::vector<std::string> kReply = {
        "250-localhost",
        "250-AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER",
        "250-8BITMIME",
        "250-SIZE",
        "250 ENHANCEDSTATUSCODES",
    };
    return kReply;
}

std::string CSMTPCapabilities::RefusalOf(const std::string& line) {
    const std::string word = line.substr(0, line.find_first_of(" \t"));
    for (const char* unoffered : {"STARTTLS", "BDAT"})
        if (CompareNoCase(word.c_str(), unoffered) == 0)
            return std::string("502 5.5.1 ")
                .append(unoffered)
                .append(" is not offered: the proxy must see the message text");
    return std::string();
}

std::string CSMTPCapabilities::WithoutUnofferedParameters(
    const std::string& line, const std::vector<std::string>& keywords) {
    std::string kept;
    size_t at = 0;
    while (at < line.size()) {
        const size_t begin = line.find_first_not_of(" \t", at);
        if (begin == std::string::npos)
            break;
        const size_t end = std::min(line.find_first_of(" \t", begin), line.size());
        const std::string word = line.substr(begin, end - begin);
        const bool dropped =
            (SSMTPCommand::StartsNoCase(word, "SIZE=") && !Offers(keywords, "SIZE")) ||
            (SSMTPCommand::StartsNoCase(word, "BODY=") && !Offers(keywords, "8BITMIME"));
        if (!dropped)
            kept += (kept.empty() ? "" : " ") + word;
        at = end;
    }
    return kept;
}

void CSMTPCapabilities::StartFiltering() {
    m_filtering = true;
    m_kept.clear();
}

bool CSMTPCapabilities::FilterLine(const std::string& line, std::vector<std::string>& forClient) {
    if (line.size() > 4 && line[0] == '2' && IsWithheld(line.substr(4)))
        m_log.LogFormat(LOG_INFO, "Not offered to the client: '%s'", line.c_str() + 4);
    else
        m_kept.push_back(line);
    if (!SSMTPCommand::IsFinalReplyLine(line))
        return false;
    m_filtering = false;
    if (!m_kept.empty() && m_kept.back().size() > 3)
        m_kept.back()[3] = ' ';
    forClient.swap(m_kept);
    m_kept.clear();
    return true;
}
