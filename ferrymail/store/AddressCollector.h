// The address handler the message's address getters give the header scanner: it fills
// one SAddress (each address overwrites the last) or appends to an SAddress list. Lives on
// the stack of one getter call; the target belongs to the message.
#pragma once

#include <vector>

#include "ferrymail/store/Address.h"
#include "kinbook/mailtext/AddressHandler.h"

class CAddressCollector : public CAddressHandler {
public:
    explicit CAddressCollector(SAddress* single) : m_single(single) {}
    explicit CAddressCollector(std::vector<SAddress>* list) : m_list(list) {}

    // Stores {address, name}; always 1.
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                       long date) override;
    // Drops the name kind.
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source, long date,
                       FR_NAME nameKind) override;

private:
    SAddress* m_single = nullptr;
    std::vector<SAddress>* m_list = nullptr;
};
