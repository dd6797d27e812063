// Host name lookups for the proxies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kinbook/kinbook_export.h"

// The IPv4 addresses of `host` (network order, in the resolver's order, without repeats);
// a dotted IPv4 literal stands for itself. False when there are none.
KINBOOK_API bool ResolveHostIPv4(const std::string& host, std::vector<uint32_t>& addresses);
// Parses a dotted IPv4 literal into network order.
KINBOOK_API bool ParseIPv4(const std::string& text, uint32_t& address);
// Dotted text of an address in network order.
std::string FormatIPv4(uint32_t address);
