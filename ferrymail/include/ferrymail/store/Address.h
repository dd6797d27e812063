// One address of a mail header with its display name; a plain value.
#pragma once

#include <string>

struct SAddress {
    std::string m_address;
    std::string m_name;
};
