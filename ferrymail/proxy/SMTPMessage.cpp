#include "ferrymail/proxy/SMTPMessage.h"

#include <algorithm>

#include "kinbook/friends/Friend.h"
#include "kinbook/foundation/TextHelpers.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void Trim(std::string& text) {
    size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin]))
        ++begin;
    size_t end = text.size();
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    text = text.substr(begin, end - begin);
}

}  // namespace

void CSMTPMessage::CleanAddress(std::string& address) {
    Trim(address);
    if (!address.empty() && address.front() == '<')
        address.erase(0, 1);
    if (!address.empty() && address.back() == '>')
        address.pop_back();
    Trim(address);
}

void CSMTPMessage::SetSender(const std::string& address) {
    m_sender = address;
    CleanAddress(m_sender);
}

void CSMTPMessage::AddToSubject(const std::string& headerLine) {
    std::string rest = headerLine;
    if (StartsWithNoCase(rest.c_str(), rest.size(), "Subject:"))
        rest.erase(0, 8);
    Trim(rest);
    if (rest.empty())
        return;
    if (!m_subject.empty())
        m_subject += ' ';
    m_subject += rest;
}

void CSMTPMessage::AddAddressee(const std::string& address) {
    std::string cleaned = address;
    CleanAddress(cleaned);
    if (CFriend::IsAddressFriend(cleaned.c_str()) != nullptr)
        return;
    if (std::find(m_addressees.begin(), m_addressees.end(), cleaned) != m_addressees.end())
        return;
    m_addressees.push_back(cleaned);
}

bool CSMTPMessage::GetNextAddressee(size_t& position, std::string& address) const {
    if (position >= m_addressees.size())
        return false;
    address = m_addressees[position++];
    return true;
}
