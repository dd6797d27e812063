// One message that the SMTP proxy saw the server accept: its envelope sender, its
// addressees that are not friends, and its subject. Reference counted: a session makes
// it and the non-friend collection of its connection keeps it once it is finished. Used
// by one thread at a time (the session's, then whoever received the collection).
#pragma once

#include <string>
#include <vector>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/RefCount.h"

class FERRYMAIL_API CSMTPMessage : public CRefCount {
public:
    // Blanks trimmed at both ends, a leading '<' and a trailing '>' removed, trimmed again.
    static void CleanAddress(std::string& address);

    void SetSender(const std::string& address);
    const std::string& GetSender() const { return m_sender; }
    // A "Subject:" header line or one of its continuation lines: the text (without the
    // field name) is appended, joined to what is there by one blank.
    void AddToSubject(const std::string& headerLine);
    const std::string& GetSubject() const { return m_subject; }
    bool HasSubject() const { return !m_subject.empty(); }
    // Cleaned; ignored when it is a friend's (IsAddressFriend) or already listed
    // (compared exactly).
    void AddAddressee(const std::string& address);
    // The addressee at `position`, which then advances; false once every one was given.
    bool GetNextAddressee(size_t& position, std::string& address) const;
    size_t GetAddresseeCount() const { return m_addressees.size(); }

private:
    std::string m_sender;
    std::string m_subject;
    std::vector<std::string> m_addressees;
};
