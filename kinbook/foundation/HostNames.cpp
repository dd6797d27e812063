#include "kinbook/foundation/HostNames.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

bool ParseIPv4(const std::string& text, uint32_t& address) {
    in_addr parsed;
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

std::string FormatIPv4(uint32_t address) {
    in_addr value;
    value.s_addr = address;
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &value, text, sizeof text) != nullptr ? text : "";
}

bool ResolveHostIPv4(const std::string& host, std::vector<uint32_t>& addresses) {
    addresses.clear();
    if (host.empty())
        return false;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0) {
        for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
            uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
                addresses.push_back(address);
        }
        freeaddrinfo(list);
    }
    uint32_t literal;
    if (addresses.empty() && ParseIPv4(host, literal))
        addresses.push_back(literal);
    return !addresses.empty();
}
