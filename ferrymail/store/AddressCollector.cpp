#include "store/AddressCollector.h"

#include <utility>

int CAddressCollector::ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                                      long date) {
    SAddress value{address != nullptr ? address : "", name != nullptr ? name : ""};
    if (m_single != nullptr)
        *m_single = std::move(value);
    else if (m_list != nullptr)
        m_list->push_back(std::move(value));
    return 1;
}

int CAddressCollector::ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                                      long date, FR_NAME nameKind) {
    return ProcessAddress(name, address, source, date);
}
