// The clauses of one "Received" header; a plain value.
#pragma once

#include <string>

struct SReceivedHop {
    std::string m_from;
    std::string m_by;
    std::string m_with;
    std::string m_id;
    std::string m_for;
    long m_date = 0;  // seconds since 1970; 0 when unreadable
};
