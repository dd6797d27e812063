#include "proxy/SlowResponse.h"

void CSlowResponse::Start(const std::string& text, bool extraCharacters) {
    m_text = text;
    m_position = 0;
    m_extraCharacters = extraCharacters;
    m_active = true;
}

CSlowResponse::SStep CSlowResponse::Tick() {
    if (!m_active)
        return {};
    if (m_position < m_text.size()) {
        const char c = m_text[m_position++];
        return {std::string(1, c), std::string("Tick real char: '") + c + "'"};
    }
    if (m_extraCharacters)
        return {"X", "Tick extra char"};
    if (m_position == m_text.size()) {
        ++m_position;
        return {"\r", "Tick CR"};
    }
    if (m_position == m_text.size() + 1) {
        ++m_position;
        return {"\n", "Tick LF"};
    }
    return {"", "Tick nothing left"};
}

CSlowResponse::SStep CSlowResponse::Finish() {
    if (!m_active)
        return {};
    m_active = false;
    const size_t length = m_text.size();
    SStep step;
    if (m_position >= length + 2) {
        step = {"", "Slow response finished early"};
    } else if (m_position == length + 1) {
        step = {"\n", "Slow response final LF"};
    } else if (m_position == length) {
        step = {"\r\n", "Slow response final CRLF"};
    } else {
        const std::string rest = m_text.substr(m_position);
        step = {rest + "\r\n", "Slow response finish with '" + rest + "'"};
    }
    m_text.clear();
    m_position = 0;
    return step;
}
