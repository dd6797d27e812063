#include "filter/DecodedText.h"

#include "ferrymail/store/Message.h"
#include "filter/MimeDecoder.h"

void CDecodedText::Reset() {
    m_subject.clear();
    m_body.clear();
    m_subjectComputed = m_subjectDecoded = false;
    m_bodyComputed = m_bodyDecoded = false;
    m_rawSubject.clear();
    m_rawBody.clear();
}

const std::string& CDecodedText::FilterSubject(CMessage& message) {
    if (!m_subjectComputed)
        GetDecodedSubject(message);
    if (m_subjectDecoded)
        return m_subject;
    m_rawSubject = message.GetSubject();  // read afresh: the message may have changed
    return m_rawSubject;
}

const std::string& CDecodedText::FilterBody(CMessage& message) {
    if (!m_bodyComputed)
        GetDecodedBody(message, false, true);
    if (m_bodyDecoded)
        return m_body;
    m_rawBody = message.GetBody();
    return m_rawBody;
}

std::string CDecodedText::GetDecodedSubject(CMessage& message) {
    if (m_subjectComputed)
        return m_subjectDecoded ? m_subject : message.GetSubject();
    return GetDecodedSubject(message.GetSubject());
}

std::string CDecodedText::GetDecodedSubject(const std::string& rawSubject) {
    if (!m_subjectComputed) {
        m_subjectComputed = true;
        m_subject = CMimeDecoder::DecodeEncodedWords(rawSubject);
        m_subjectDecoded = m_subject != rawSubject;
        if (!m_subjectDecoded)
            m_subject.clear();
    }
    return m_subjectDecoded ? m_subject : rawSubject;
}

std::string CDecodedText::GetDecodedBody(CMessage& message, bool showParts, bool stripHtml) {
    if (!showParts && m_bodyComputed)
        return m_bodyDecoded ? m_body : message.GetBody();
    return GetDecodedBody(message.GetContentType(), message.GetContentTransferEncoding(),
                          message.GetBody(), showParts, stripHtml);
}

std::string CDecodedText::GetDecodedBody(const std::string& contentType,
                                         const std::string& encoding, const std::string& body,
                                         bool showParts, bool stripHtml) {
    if (!showParts && m_bodyComputed)
        return m_bodyDecoded ? m_body : body;
    CMimeDecoder decoder(showParts, stripHtml, body.size());
    const bool decoded = decoder.DecodeMimeEntity(contentType, encoding, body);
    if (showParts)
        return decoded ? decoder.GetText() : body;
    m_bodyComputed = true;
    m_bodyDecoded = decoded;
    m_body = decoded ? decoder.GetText() : std::string();
    return decoded ? m_body : body;
}
