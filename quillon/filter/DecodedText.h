// The decoded subject and body text of the message being examined, computed on first use
// and kept until Reset. The filter chain owns one and resets it for every message; it is
// used under the chain's examination lock only.
#pragma once

#include <string>

class CMessage;

class CDecodedText {
public:
    // Forgets the message: the next calls decode afresh.
    void Reset();

    // The subject with its encoded words decoded; computed once per message.
    std::string GetDecodedSubject(CMessage& message);
    std::string GetDecodedSubject(const std::string& rawSubject);

    // The decoded body text, or the raw body when there is nothing to decode (plain text
    // without transfer encoding, malformed MIME). With showParts false the result is
    // computed once per message. With showParts true (the message preview) it is decoded
    // afresh with a placeholder for every non-text part and the cache is left as it is,
    // so the filters never see the placeholders.
    std::string GetDecodedBody(CMessage& message, bool showParts, bool stripHtml);
    std::string GetDecodedBody(const std::string& contentType, const std::string& encoding,
                               const std::string& body, bool showParts, bool stripHtml);

    // The decoded subject and body (showParts false, stripHtml true) as the filters read
    // them, without a copy of decoded text per check (a raw text is read from the
    // message at each call, as GetDecoded... do). Valid until the next call or Reset.
    const std::string& FilterSubject(CMessage& message);
    const std::string& FilterBody(CMessage& message);

    // The body of this message was read for an examination.
    bool WasBodyRead() const { return m_bodyComputed; }
    bool IsSubjectDecoded() const { return m_subjectDecoded; }
    bool IsBodyDecoded() const { return m_bodyDecoded; }

private:
    std::string m_subject;
    bool m_subjectComputed = false;
    bool m_subjectDecoded = false;  // m_subject holds a subject that differs from the raw one
    std::string m_body;
    bool m_bodyComputed = false;
    bool m_bodyDecoded = false;  // m_body holds decoded text, else the raw body is the text
    std::string m_rawSubject;  // FilterSubject's copy of an undecoded subject
    std::string m_rawBody;     // FilterBody's copy of an undecoded body
};
